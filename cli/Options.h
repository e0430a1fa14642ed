#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/Catalogue.h"
#include "hexfile/ImageFile.h"
#include "ops/CWriter.h"
#include "ops/Outcome.h"

namespace otp::cli {

/// What the command line asked for.
struct Options {
  std::string command;
  std::vector<std::string> arguments;  // the command's own: a file, a job's action

  std::optional<std::string> model;  // -m
  std::optional<std::string> clock;  // -c
  std::vector<std::string> ports;    // -p, several times or as a comma list
  std::optional<std::string> settings;
  std::optional<std::string> monitorDir;
  std::optional<ResetMethod> reset;  // default: prompt on a terminal, none otherwise
  int retries = 2;
  bool json = false;
  bool quiet = false;
  bool verbose = false;
  std::optional<std::string> lang;
  bool version = false;
  bool help = false;

  bool blankCheck = false;            // program: Blank Check first
  bool noCompare = false;             // program: no Read+Compare afterwards
  bool noPlan = false;                // program: no burn plan first
  bool resume = false;                // program: finish a part that holds part of the image
  int maxDiffs = 16;                  // compare: differences listed
  std::optional<ImageFormat> format;  // read: instead of the file name's
  std::optional<std::uint32_t> base;  // a FILE ending in .bin is placed from here
  bool skipBlank = false;             // read: leave out blank records

  std::optional<std::string> serial;  // produce: ADDR:FORMAT
  std::optional<std::uint64_t> serialStart;
  std::optional<std::uint64_t> serialStep;
  std::optional<std::string> counter;
  std::optional<std::string> station;  // default: the host name
  std::optional<std::string> db;       // default: the user's production store
  bool autoStart = false;              // produce --start auto
  std::optional<std::string> since;    // log, report: UTC ISO 8601 once checked
  std::optional<std::string> until;
  std::optional<std::string> csv;         // log
  std::optional<std::string> job;         // produce, program: a job file; log, report: its name
  std::optional<std::string> name;        // job create
  std::optional<std::string> note;        // job create
  bool confirm = false;                   // job create: the operator confirms the checksum
  bool force = false;                     // job create: replace an existing job
  std::optional<std::string> listen;      // serve: ADDRESS:PORT
  std::vector<std::string> allowHosts;    // serve: names a request's Host may hold
  std::optional<std::string> users;       // serve: the file of users who may read it
  std::optional<std::string> tlsCert;     // serve: HTTPS with this certificate
  std::optional<std::string> tlsKey;      // ... and this key
  bool insecureOpen = false;              // serve: beyond the loopback without users
  std::optional<std::string> lot;         // produce, job create: the lot; log, report: its name
  std::optional<std::uint64_t> quantity;  // produce, job create: the lot's parts to pass
  std::optional<ReadMode> reading;        // plan, program, produce, job create
  std::optional<int> blockMinutes;        // produce, job create: work the numbers held cover
};

/// Exit statuses of otpwriter-cli.
enum Exit : int {
  kExitOk = 0,           // all good
  kExitNotGood = 1,      // a verdict NG: not blank, differences
  kExitLink = 2,         // the link or the device failed
  kExitFile = 3,         // a file (or the production store) could not be used
  kExitPort = 4,         // the port could not be opened or configured
  kExitPlan = 5,         // the burn plan refuses the part
  kExitInterrupted = 6,  // Ctrl-C
  kExitUsage = 64,       // the command line is wrong
};

/// One option of the table the parser, the checks and --help are made from.
struct OptionSpec {
  const char* shortName;  // "-m", or null
  const char* longName;   // "--model"
  const char* value;      // "MODEL", or null for a switch
  const char* help;       // English; lines after the first are indented
};
std::span<const OptionSpec> OptionTable();

/// The language that `--lang` names, else the system's.
Language LanguageOf(const std::vector<std::string>& args);

/// Parses the arguments after the program name. Returns the options, or nothing with
/// `error` set (in `language`) for a usage error.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, Language language,
                                    std::string& error);

/// The --help text in `language`.
std::string HelpText(Language language);
/// The help of one command (`COMMAND --help`, `help COMMAND`); the whole help for none.
std::string HelpText(Language language, const std::string& command);

/// An ISO 8601 time as the records hold it ("2026-12-07T12:00:00Z"): with or without an
/// offset, with or without seconds, or a date alone (its midnight, UTC). Nothing for
/// anything else.
std::optional<std::string> UtcTime(const std::string& text);

}  // namespace otp::cli
