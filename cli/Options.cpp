#include "cli/Options.h"

#include <charconv>
#include <cstdlib>

namespace otp::cli {

namespace {

std::optional<int> Number(std::string_view text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<ResetMethod> ParseReset(std::string_view text) {
  if (text == "prompt") return ResetMethod{ResetMethod::Kind::kPrompt, {}};
  if (text == "none") return ResetMethod{ResetMethod::Kind::kNone, {}};
  if (text == "dtr") return ResetMethod{ResetMethod::Kind::kDtr, std::chrono::milliseconds(100)};
  if (text.substr(0, 4) == "dtr:") {
    const auto ms = Number(text.substr(4));
    if (ms && *ms > 0 && *ms <= 10000) {
      return ResetMethod{ResetMethod::Kind::kDtr, std::chrono::milliseconds(*ms)};
    }
  }
  return std::nullopt;
}

constexpr const char* kCommands[] = {"ports",   "info", "blank-check", "plan", "program",
                                     "compare", "read", "produce",     "log"};

std::optional<std::uint64_t> Count(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error) {
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::optional<std::string> inlineValue;
    if (arg.rfind("--", 0) == 0) {
      if (const auto equals = arg.find('='); equals != std::string::npos) {
        inlineValue = arg.substr(equals + 1);
        arg = arg.substr(0, equals);
      }
    }
    auto value = [&]() -> std::optional<std::string> {
      if (inlineValue) return inlineValue;
      if (i + 1 < args.size()) return args[++i];
      error = arg + " needs a value";
      return std::nullopt;
    };
    auto take = [&](std::optional<std::string>& into) {
      into = value();
      return into.has_value();
    };
    auto takeNumber = [&](int& into, int low, int high) {
      const auto text = value();
      if (!text) return false;
      const auto number = Number(*text);
      if (!number || *number < low || *number > high) {
        error = arg + ": " + *text + " is not a number from " + std::to_string(low) + " to " +
                std::to_string(high);
        return false;
      }
      into = *number;
      return true;
    };
    if (inlineValue &&
        (arg == "--json" || arg == "--quiet" || arg == "--verbose" || arg == "--help" ||
         arg == "--version" || arg == "--blank-check" || arg == "--no-compare" ||
         arg == "--skip-blank" || arg == "--no-plan" || arg == "--resume")) {
      error = arg + " takes no value";
      return std::nullopt;
    }
    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "-m" || arg == "--model") {
      if (!take(options.model)) return std::nullopt;
    } else if (arg == "-c" || arg == "--clock") {
      if (!take(options.clock)) return std::nullopt;
    } else if (arg == "-p" || arg == "--port") {
      const auto text = value();
      if (!text) return std::nullopt;
      std::size_t start = 0;
      while (start <= text->size()) {
        const auto comma = text->find(',', start);
        const std::string port =
            text->substr(start, comma == std::string::npos ? comma : comma - start);
        if (port.empty()) {
          error = "-p: an empty port name in " + *text;
          return std::nullopt;
        }
        options.ports.push_back(port);
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    } else if (arg == "--settings") {
      if (!take(options.settings)) return std::nullopt;
    } else if (arg == "--monitor-dir") {
      if (!take(options.monitorDir)) return std::nullopt;
    } else if (arg == "--reset") {
      const auto text = value();
      if (!text) return std::nullopt;
      options.reset = ParseReset(*text);
      if (!options.reset) {
        error = "--reset: expected prompt, none, dtr or dtr:MS, not " + *text;
        return std::nullopt;
      }
    } else if (arg == "--retries") {
      if (!takeNumber(options.retries, 0, 100)) return std::nullopt;
    } else if (arg == "--max-diffs") {
      if (!takeNumber(options.maxDiffs, 0, 65536)) return std::nullopt;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "-q" || arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "-v" || arg == "--verbose") {
      options.verbose = true;
    } else if (arg == "--lang") {
      if (!take(options.lang)) return std::nullopt;
      if (*options.lang != "en" && *options.lang != "ja") {
        error = "--lang: expected en or ja, not " + *options.lang;
        return std::nullopt;
      }
    } else if (arg == "--blank-check") {
      options.blankCheck = true;
    } else if (arg == "--no-compare") {
      options.noCompare = true;
    } else if (arg == "--no-plan") {
      options.noPlan = true;
    } else if (arg == "--resume") {
      options.resume = true;
    } else if (arg == "--skip-blank") {
      options.skipBlank = true;
    } else if (arg == "--base") {
      const auto text = value();
      if (!text) return std::nullopt;
      char* end = nullptr;
      const unsigned long base = std::strtoul(text->c_str(), &end, 0);
      if (text->empty() || *end != '\0' || base > 0xFFFFFFFFul) {
        error = "--base: " + *text + " is no address";
        return std::nullopt;
      }
      options.base = static_cast<std::uint32_t>(base);
    } else if (arg == "--serial") {
      if (!take(options.serial)) return std::nullopt;
    } else if (arg == "--serial-start" || arg == "--serial-step") {
      const auto text = value();
      if (!text) return std::nullopt;
      const auto number = Count(*text);
      if (!number || (arg == "--serial-step" && *number == 0)) {
        error = arg + ": " + *text + " is no number" + (arg == "--serial-step" ? " above 0" : "");
        return std::nullopt;
      }
      (arg == "--serial-start" ? options.serialStart : options.serialStep) = *number;
    } else if (arg == "--station") {
      if (!take(options.station)) return std::nullopt;
    } else if (arg == "--db") {
      std::optional<std::string> db;
      if (!take(db)) return std::nullopt;
      options.db = *db;
    } else if (arg == "--since") {
      if (!take(options.since)) return std::nullopt;
    } else if (arg == "--csv") {
      if (!take(options.csv)) return std::nullopt;
    } else if (arg == "--format") {
      const auto text = value();
      if (!text) return std::nullopt;
      options.format = FormatNamed(*text);
      if (!options.format) {
        error = "--format: expected srec, ihex or bin, not " + *text;
        return std::nullopt;
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      error = "unknown option " + arg;
      return std::nullopt;
    } else if (options.command.empty()) {
      options.command = arg;
    } else {
      options.arguments.push_back(arg);
    }
  }
  if (options.help || options.version) return options;
  if (options.command.empty()) {
    error = "no command given";
    return std::nullopt;
  }
  bool known = false;
  for (const char* command : kCommands)
    known = known || options.command == command;
  if (!known) {
    error = "unknown command " + options.command;
    return std::nullopt;
  }
  const bool gang = options.command == "blank-check" || options.command == "program" ||
                    options.command == "compare" || options.command == "plan" ||
                    options.command == "produce";
  if (options.ports.size() > 1 && !gang) {
    error = options.command + " takes one port";
    return std::nullopt;
  }
  const bool takesFile = options.command == "info" || options.command == "program" ||
                         options.command == "plan" || options.command == "produce" ||
                         options.command == "compare" || options.command == "read";
  if (options.arguments.size() != (takesFile ? 1u : 0u)) {
    error = options.command + (takesFile ? " takes one file" : " takes no file");
    return std::nullopt;
  }
  return options;
}

std::string HelpText() {
  return R"(usage: otpwriter-cli [OPTIONS] COMMAND [FILE]

Writes program images into the OTP memory of a KT47C630A or KT47C150 on a user board
over a serial line, with the same engine as the otpwriter window.

Commands:
  ports                list serial ports and the COM names that stand for them
  info FILE            decode FILE for the model's OTP area and sum it up (no port)
  blank-check          Download, then Blank Check
  plan FILE            Download, then the burn plan: can this part take FILE?
  program FILE         Download, the burn plan, Program+Verify, then Read+Compare
  compare FILE         Download, then Read+Compare; every difference is counted
  read OUT             Download, then read the OTP area into OUT
  produce FILE         burn unit after unit: one Enter each, a serial number into each,
                       every attempt recorded
  log                  print the recorded attempts, with a summary by result

Options:
  -m, --model MODEL    KT47C630A or KT47C150
  -c, --clock CLOCK    2MHz, 4MHz or 8MHz (sets the bit rate)
  -p, --port PORT      COMn (as the settings file maps it) or a device path; for
                       blank-check, plan, program, compare and produce several ports
                       (given again, or as a comma list) work at once, one board each
                       (model, clock and port default to the settings file's last
                       choices, then to KT47C630A, 2MHz, COM1)
      --settings FILE  settings file to read (default: the window's DATAFILE.TXT);
                       never written
      --monitor-dir DIR  folder of the monitor files (default: the program's folder)
      --reset HOW      prompt: ask for the board's reset and wait for Enter (default
                       on a terminal); none: handshake at once (default otherwise);
                       dtr[:MS]: drop DTR for MS ms (100), for boards reset by DTR
      --retries N      read a short block answer again up to N times (default 2)
      --blank-check    program: run Blank Check before programming
      --no-plan        program: no burn plan first (a part that is not blank is
                       found only by the device's errors)
      --resume         program: finish a part that already holds part of FILE (an
                       interrupted run): only the blocks still missing are written
      --no-compare     program: skip the Read+Compare pass
      --max-diffs N    compare: list the first N differences (default 16)
      --base ADDR      a FILE whose name ends in .bin holds raw bytes placed from ADDR
                       (default: the start of the OTP area); other files are S-record
                       or Intel HEX, told apart by their content
      --format FMT     read: srec, ihex or bin (default: from OUT's name: .hex and
                       .ihx Intel HEX, .bin binary, else S-record)
      --skip-blank     read: leave out records whose bytes are all 0xFF
      --serial ADDR:FMT  produce: put each unit's serial number at ADDR as le16, be16,
                       le32, be32, bcd:N (N digits, packed) or ascii:N (N digits)
      --serial-start N produce: the first number of a new counter (default 1)
      --serial-step S  produce: the step from one number to the next (default 1)
      --station NAME   produce: the station's name in the records (default: host name)
      --db LOCATION    produce, log: an SQLite file (default production.db) or
                       postgresql://USER@HOST[:PORT]/DBNAME shared by several stations
      --since TIME     log: attempts that started at TIME (ISO 8601, UTC) or later
      --csv FILE       log: write the attempts to FILE as CSV
      --json           one JSON object per line on standard output, nothing else
  -q, --quiet          only errors
  -v, --verbose        more detail
      --lang LANG      en or ja (default: the system's language)
      --version        print the version; with -v also the settings file and the
                       monitor folders in use
  -h, --help           print this help

Exit status:
  0   all good
  1   verdict NG: the part is not blank, or differs from the file
  2   the link or the device failed (no answer, time-out, checksum, device or
      communication error)
  3   a file could not be used (Hex File open, read or decode error, monitor file
      missing or too large, output not writable)
  4   the port could not be opened or configured
  5   the burn plan refuses the part: it can never hold FILE, or it holds part of
      it already and --resume was not given
  6   interrupted (Ctrl-C stops between blocks; a second Ctrl-C ends at once)
  64  usage error
)";
}

}  // namespace otp::cli
