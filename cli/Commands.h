#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace otp::cli {

class Context;

/// What a command takes and does.
enum CommandFlags : unsigned {
  kFile = 1u << 0,          // one FILE (or OUT)
  kSeveralPorts = 1u << 1,  // -p may name several ports
  kJobFile = 1u << 2,       // --job JOB may stand for its FILE and its choices
  kTargets = 1u << 4,       // works with the model, the clock and the ports
};

/// An action of a command that takes one ("job create OUT FILE"): its name and how many
/// arguments follow it.
struct ActionSpec {
  const char* name;
  std::size_t arguments;
};

/// One command of otpwriter-cli: the parser, the checks, --help and the dispatch come
/// from the table of these.
struct CommandSpec {
  const char* name;
  const char* argument;  // what follows it in --help, or null
  const char* help;      // English; lines after the first are indented
  unsigned flags;
  int (*run)(Context&);
  /// Its actions, when it takes one; `usage` says them all (English).
  std::span<const ActionSpec> actions = {};
  const char* usage = nullptr;
};

std::span<const CommandSpec> CommandTable();
const CommandSpec* FindCommand(std::string_view name);

// The commands, each in the file of its kind.
int RunPorts(Context& context);
int RunServe(Context& context);
int RunInfo(Context& context);
int RunOnPorts(Context& context);  // blank-check, plan, program, compare, read
int RunProduce(Context& context);
int RunLog(Context& context);
int RunJob(Context& context);
int RunReport(Context& context);
int RunStore(Context& context);
int RunUsers(Context& context);

}  // namespace otp::cli
