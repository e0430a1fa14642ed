#pragma once

#include <span>
#include <string_view>

namespace otp::cli {

class Context;

/// What a command takes and does.
enum CommandFlags : unsigned {
  kFile = 1u << 0,          // one FILE (or OUT)
  kSeveralPorts = 1u << 1,  // -p may name several ports
  kJobFile = 1u << 2,       // --job JOB may stand for its FILE and its choices
  kJobAction = 1u << 3,     // an action and a job file
  kTargets = 1u << 4,       // works with the model, the clock and the ports
  kStoreAction = 1u << 5,   // an action on the store and its values
};

/// One command of otpwriter-cli: the parser, the checks, --help and the dispatch come
/// from the table of these.
struct CommandSpec {
  const char* name;
  const char* argument;  // what follows it in --help, or null
  const char* help;      // English; lines after the first are indented
  unsigned flags;
  int (*run)(Context&);
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

}  // namespace otp::cli
