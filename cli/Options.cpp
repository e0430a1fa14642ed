#include "cli/Options.h"

#include <QDateTime>
#include <QTimeZone>
#include <algorithm>
#include <charconv>
#include <string_view>
#include <vector>

#include "cli/Commands.h"
#include "core/Texts.h"
#include "ops/Serial.h"

namespace otp::cli {

namespace {

// Every option: the parser finds it here, --help lists it from here.
constexpr OptionSpec kOptions[] = {
    {"-m", "--model", "MODEL", "KT47C630A or KT47C150"},
    {"-c", "--clock", "CLOCK", "2MHz, 4MHz or 8MHz (sets the bit rate)"},
    {"-p", "--port", "PORT",
     "COMn (as the settings file maps it) or a device path; for\n"
     "blank-check, plan, program, compare and produce several ports\n"
     "(given again, or as a comma list) work at once, one board each\n"
     "(model, clock and port default to the settings file's last\n"
     "choices, then to KT47C630A, 2MHz, COM1)"},
    {nullptr, "--settings", "FILE",
     "settings file to read (default: the window's DATAFILE.TXT);\nnever written"},
    {nullptr, "--monitor-dir", "DIR",
     "folder of the monitor files (default: the program's folder)"},
    {nullptr, "--reset", "HOW",
     "prompt: ask for the board's reset and wait for Enter (default\n"
     "on a terminal); none: handshake at once (default otherwise);\n"
     "dtr[:MS]: drop DTR for MS ms (100), for boards reset by DTR"},
    {nullptr, "--retries", "N", "read a short block answer again up to N times (default 2)"},
    {nullptr, "--blank-check", nullptr, "program: run Blank Check before programming"},
    {nullptr, "--no-plan", nullptr,
     "program: no burn plan first (a part that is not blank is\nfound only by the device's "
     "errors)"},
    {nullptr, "--resume", nullptr,
     "program, produce: finish a part that already holds part of\nFILE (an interrupted run): "
     "only the blocks still missing are\nwritten"},
    {nullptr, "--no-compare", nullptr, "program: skip the Read+Compare pass"},
    {nullptr, "--max-diffs", "N", "compare: list the first N differences (default 16)"},
    {nullptr, "--base", "ADDR",
     "a FILE whose name ends in .bin holds raw bytes placed from ADDR\n(default: the start of "
     "the OTP area); other files are S-record\nor Intel HEX, told apart by their content"},
    {nullptr, "--format", "FMT",
     "read: srec, ihex or bin (default: from OUT's name: .hex and\n.ihx Intel HEX, .bin binary, "
     "else S-record)"},
    {nullptr, "--skip-blank", nullptr, "read: leave out records whose bytes are all 0xFF"},
    {nullptr, "--serial", "ADDR:FMT",
     "produce, job create: put each unit's serial number at ADDR as\nle16, be16, le32, be32, "
     "bcd:N (N digits, packed) or ascii:N"},
    {nullptr, "--serial-start", "N", "produce, job create: the first number of a new counter (1)"},
    {nullptr, "--serial-step", "S",
     "produce, job create: the step from one number to the next (1)"},
    {nullptr, "--counter", "NAME",
     "produce, job create: the counter the numbers come from (serial;\na job's own name for a "
     "job)"},
    {nullptr, "--station", "NAME", "produce, log, report: the station's name (default: host name)"},
    {nullptr, "--db", "LOCATION",
     "produce, log, report: an SQLite file, or\npostgresql://USER@HOST[:PORT]/DBNAME[?PARAM=V] "
     "shared by\nseveral stations (default: production.db in the user's data\nfolder)"},
    {nullptr, "--start", "HOW",
     "produce: enter (one Enter a round, the default) or auto (each\nport burns every fresh "
     "board put on it)"},
    {nullptr, "--job", "JOB",
     "produce, program: burn the job file JOB; log, report: only the\nattempts of the job named "
     "JOB"},
    {nullptr, "--since", "TIME",
     "log, report: attempts that started at TIME (ISO 8601; UTC\nwithout an offset) or later"},
    {nullptr, "--until", "TIME", "log, report: attempts that started before TIME"},
    {nullptr, "--csv", "FILE", "log: write the attempts to FILE as CSV"},
    {nullptr, "--name", "NAME", "job create: the job's name"},
    {nullptr, "--note", "TEXT", "job create: a note for the operator"},
    {nullptr, "--confirm", nullptr,
     "job create: the operator types the job's short checksum before\nthe first unit"},
    {nullptr, "--force", nullptr, "job create: replace OUT when it exists"},
    {nullptr, "--listen", "ADDR:PORT",
     "serve: where the factory view listens (default 127.0.0.1:8047;\n0.0.0.0:8047 for every "
     "network of the computer)"},
    {nullptr, "--allow-host", "NAME",
     "serve: a name a browser may reach the view by (its DNS name);\nits own addresses and "
     "name are allowed anyway; again for more"},
    {nullptr, "--users", "FILE",
     "serve: only the users of FILE (made by users add) may read the\nview, signed in over "
     "HTTPS; needs --tls-cert and --tls-key"},
    {nullptr, "--tls-cert", "FILE", "serve: speak HTTPS with the certificate (PEM) in FILE"},
    {nullptr, "--tls-key", "FILE", "serve: ... and the private key (PEM) in FILE"},
    {nullptr, "--insecure-open", nullptr,
     "serve: beyond the loopback without users: anyone who reaches the\naddress may read the "
     "view"},
    {nullptr, "--lot", "NAME",
     "produce, job create: the lot the units belong to; log, report:\nonly the attempts of lot "
     "NAME"},
    {nullptr, "--quantity", "N",
     "produce, job create: the lot's parts to pass: the station takes\nno board once N passed"},
    {nullptr, "--read", "WHAT",
     "plan, program, produce, job create: area (the whole OTP area,\nthe default) or image "
     "(only the blocks the image and the\nserial number touch) is read before and after "
     "writing"},
    {nullptr, "--block-minutes", "N",
     "produce, job create: serial numbers held ahead for N minutes of\nwork at the station's "
     "pace (default: the store's setting, 10)"},
    {nullptr, "--json", nullptr, "one JSON object per line on standard output, nothing else"},
    {"-q", "--quiet", nullptr, "only errors"},
    {"-v", "--verbose", nullptr, "more detail"},
    {nullptr, "--lang", "LANG", "en or ja (default: the system's language)"},
    {nullptr, "--version", nullptr,
     "print the version; with -v also the settings file, the monitor\nfolders and the "
     "production store in use"},
    {"-h", "--help", nullptr, "print this help"},
};

struct ExitLine {
  int status;
  const char* text;
};
// produce sums up its whole run, not its last unit.
constexpr const char* kProduceStatus =
    "produce ends with the status of its whole run: 1 when a part was\nwritten and did not "
    "pass, else 4 when a port could not be used,\nelse 2 when a board stopped answering "
    "before anything was written,\nelse 6 when Ctrl-C stopped a unit, else 0 (a part set "
    "aside with\nnothing written is named on its line); 3 when a record could not\nbe kept.";

constexpr ExitLine kExitLines[] = {
    {0, "all good"},
    {1, "verdict NG: the part is not blank, or differs from the file"},
    {2,
     "the link or the device failed (no answer, time-out, checksum,\ndevice or communication "
     "error)"},
    {3,
     "a file could not be used (Hex File open, read or decode error,\nmonitor file missing or "
     "too large, output not writable, a job\nthat does not match its checksum) or the "
     "production store\nfailed"},
    {4, "the port could not be opened or configured"},
    {5,
     "the burn plan refuses the part: it can never hold FILE, or it\nholds part of it "
     "already and --resume was not given"},
    {6, "interrupted (Ctrl-C stops between blocks; a second Ctrl-C ends\nat once)"},
    {64, "usage error"},
};

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

// A serial number: below 2^63, the store's limit.
std::optional<std::uint64_t> SerialNumber(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty() ||
      value >= (std::uint64_t{1} << 63)) {
    return std::nullopt;
  }
  return value;
}

const OptionSpec* FindOption(const std::string& name) {
  for (const OptionSpec& spec : kOptions) {
    if (name == spec.longName || (spec.shortName && name == spec.shortName)) return &spec;
  }
  return nullptr;
}

// Applies one option; false with `error` for a value it cannot take.
bool Apply(Options& o, const std::string& option, const std::string& value, Language language,
           std::string& error) {
  auto bad = [&](const char* why) {
    error = Tr(language, why, {option, value});
    return false;
  };
  auto number = [&](int& into, int low, int high) {
    const auto n = Number(value);
    if (!n || *n < low || *n > high) {
      error = Tr(language, "%1: %2 is not a number from %3 to %4",
                 {option, value, std::to_string(low), std::to_string(high)});
      return false;
    }
    into = *n;
    return true;
  };
  if (option == "--model")
    o.model = value;
  else if (option == "--clock")
    o.clock = value;
  else if (option == "--port") {
    std::size_t start = 0;
    while (start <= value.size()) {
      const auto comma = value.find(',', start);
      const std::string port =
          value.substr(start, comma == std::string::npos ? comma : comma - start);
      if (port.empty()) return bad("%1: an empty port name in %2");
      o.ports.push_back(port);
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  } else if (option == "--settings")
    o.settings = value;
  else if (option == "--monitor-dir")
    o.monitorDir = value;
  else if (option == "--reset") {
    o.reset = ParseReset(value);
    if (!o.reset) return bad("%1: expected prompt, none, dtr or dtr:MS, not %2");
  } else if (option == "--retries")
    return number(o.retries, 0, 100);
  else if (option == "--max-diffs")
    return number(o.maxDiffs, 0, 65536);
  else if (option == "--lang") {
    if (value != "en" && value != "ja") return bad("%1: expected en or ja, not %2");
    o.lang = value;
  } else if (option == "--base") {
    o.base = ParseAddress(value);
    if (!o.base) return bad("%1: %2 is no address (0xC000 or C000H)");
  } else if (option == "--format") {
    o.format = FormatNamed(value);
    if (!o.format) return bad("%1: expected srec, ihex or bin, not %2");
  } else if (option == "--serial")
    o.serial = value;
  else if (option == "--serial-start" || option == "--serial-step") {
    const auto n = SerialNumber(value);
    if (!n || (option == "--serial-step" && *n == 0)) {
      return bad(option == "--serial-step" ? "%1: %2 is no number from 1 to 2^63 - 1"
                                           : "%1: %2 is no number from 0 to 2^63 - 1");
    }
    (option == "--serial-start" ? o.serialStart : o.serialStep) = *n;
  } else if (option == "--counter") {
    if (value.empty()) return bad("%1: the counter needs a name");
    o.counter = value;
  } else if (option == "--station")
    o.station = value;
  else if (option == "--db")
    o.db = value;
  else if (option == "--start") {
    if (value != "auto" && value != "enter") return bad("%1: expected enter or auto, not %2");
    o.autoStart = value == "auto";
  } else if (option == "--job")
    o.job = value;
  else if (option == "--since" || option == "--until") {
    const auto time = UtcTime(value);
    if (!time) return bad("%1: %2 is no ISO 8601 time (2026-12-07T08:00:00+09:00)");
    (option == "--since" ? o.since : o.until) = *time;
  } else if (option == "--csv")
    o.csv = value;
  else if (option == "--listen")
    o.listen = value;
  else if (option == "--allow-host") {
    if (value.empty() || value.find_first_of(" /:@") != std::string::npos) {
      return bad("%1: %2 is no host name");
    }
    o.allowHosts.push_back(value);
  } else if (option == "--users")
    o.users = value;
  else if (option == "--tls-cert")
    o.tlsCert = value;
  else if (option == "--tls-key")
    o.tlsKey = value;
  else if (option == "--lot") {
    if (value.empty()) return bad("%1: the lot needs a name");
    o.lot = value;
  } else if (option == "--quantity") {
    const auto n = SerialNumber(value);
    if (!n || *n == 0) return bad("%1: %2 is no number from 1 to 2^63 - 1");
    o.quantity = *n;
  } else if (option == "--read") {
    o.reading = ReadModeNamed(value);
    if (!o.reading) return bad("%1: expected area or image, not %2");
  } else if (option == "--block-minutes") {
    int minutes = 0;
    if (!number(minutes, 1, 24 * 60)) return false;
    o.blockMinutes = minutes;
  } else if (option == "--name")
    o.name = value;
  else if (option == "--note")
    o.note = value;
  return true;
}

void SetSwitch(Options& o, const std::string& option) {
  if (option == "--help")
    o.help = true;
  else if (option == "--version")
    o.version = true;
  else if (option == "--json")
    o.json = true;
  else if (option == "--quiet")
    o.quiet = true;
  else if (option == "--verbose")
    o.verbose = true;
  else if (option == "--blank-check")
    o.blankCheck = true;
  else if (option == "--no-compare")
    o.noCompare = true;
  else if (option == "--no-plan")
    o.noPlan = true;
  else if (option == "--resume")
    o.resume = true;
  else if (option == "--skip-blank")
    o.skipBlank = true;
  else if (option == "--confirm")
    o.confirm = true;
  else if (option == "--force")
    o.force = true;
  else if (option == "--insecure-open")
    o.insecureOpen = true;
}

// Lines of a help text, the first after `left`, the rest indented to the same column.
void AppendItem(std::string& out, const std::string& left, const std::string& text,
                std::size_t kColumn = 21) {
  std::string line = "  " + left;
  line += left.size() + 2 < kColumn ? std::string(kColumn - left.size() - 2, ' ') : "  ";
  std::size_t start = 0;
  bool first = true;
  while (start <= text.size()) {
    const auto lf = text.find('\n', start);
    const std::string part = text.substr(start, lf == std::string::npos ? lf : lf - start);
    out += (first ? line : std::string(kColumn, ' ')) + part + "\n";
    first = false;
    if (lf == std::string::npos) break;
    start = lf + 1;
  }
}

// The edits that make `a` into `b`: letters put in, left out or changed.
std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j)
    row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// "unknown command NAME", with the nearest command when one is near.
std::string UnknownCommand(const std::string& name, Language language) {
  const CommandSpec* nearest = nullptr;
  std::size_t best = 3;  // more edits than two: no suggestion
  for (const CommandSpec& command : CommandTable()) {
    const std::string_view known = command.name;
    const std::size_t distance =
        known.rfind(name, 0) == 0 && !name.empty() ? 1 : EditDistance(name, known);
    if (distance < best) {
      best = distance;
      nearest = &command;
    }
  }
  if (!nearest) return Tr(language, "unknown command %1", {name});
  return Tr(language, "unknown command %1; did you mean %2?", {name, nearest->name});
}

}  // namespace

std::span<const OptionSpec> OptionTable() {
  return kOptions;
}

Language LanguageOf(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string value;
    if (args[i] == "--lang" && i + 1 < args.size()) value = args[i + 1];
    if (args[i].rfind("--lang=", 0) == 0) value = args[i].substr(7);
    if (value == "ja") return Language::kJapanese;
    if (value == "en") return Language::kEnglish;
  }
  return SystemLanguage();
}

std::optional<std::string> UtcTime(const std::string& text) {
  QString value = QString::fromStdString(text).trimmed();
  if (value.size() == 10) value += "T00:00:00Z";  // a date: its midnight, UTC
  value.replace(' ', 'T');
  QDateTime time = QDateTime::fromString(value, Qt::ISODateWithMs);
  if (!time.isValid()) return std::nullopt;
  // Without an offset the time is UTC, as the records are.
  if (time.timeSpec() == Qt::LocalTime) time.setTimeZone(QTimeZone::utc());
  return time.toUTC().toString(Qt::ISODate).toStdString();
}

std::optional<Options> ParseOptions(const std::vector<std::string>& args, Language language,
                                    std::string& error) {
  Options options;
  auto fail = [&](const std::string& text) -> std::optional<Options> {
    error = text;
    return std::nullopt;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::optional<std::string> inlineValue;
    if (arg.rfind("--", 0) == 0) {
      if (const auto equals = arg.find('='); equals != std::string::npos) {
        inlineValue = arg.substr(equals + 1);
        arg = arg.substr(0, equals);
      }
    }
    if (arg.size() > 1 && arg[0] == '-') {
      const OptionSpec* spec = FindOption(arg);
      if (!spec) return fail(Tr(language, "unknown option %1", {arg}));
      const std::string name = spec->longName;
      if (!spec->value) {
        if (inlineValue) return fail(Tr(language, "%1 takes no value", {name}));
        SetSwitch(options, name);
        continue;
      }
      if (!inlineValue && i + 1 >= args.size()) {
        return fail(Tr(language, "%1 needs a value", {name}));
      }
      const std::string value = inlineValue ? *inlineValue : args[++i];
      if (!Apply(options, name, value, language, error)) return std::nullopt;
    } else if (options.command.empty()) {
      options.command = arg;
    } else {
      options.arguments.push_back(arg);
    }
  }
  // "help COMMAND" is "COMMAND --help".
  if (options.command == "help") {
    options.help = true;
    options.command = options.arguments.empty() ? std::string() : options.arguments.front();
    options.arguments.clear();
  }
  if (options.help && !options.command.empty() && !FindCommand(options.command)) {
    return fail(UnknownCommand(options.command, language));
  }
  if (options.help || options.version) return options;
  // Both are UTC in one form: they compare as text.
  if (options.since && options.until && *options.since >= *options.until) {
    return fail(
        Tr(language, "--since %1 is not before --until %2", {*options.since, *options.until}));
  }
  if (options.command.empty()) return fail(Tr(language, "no command given"));
  const CommandSpec* command = FindCommand(options.command);
  if (!command) return fail(UnknownCommand(options.command, language));
  if (options.ports.size() > 1 && !(command->flags & kSeveralPorts)) {
    return fail(Tr(language, "%1 takes one port", {options.command}));
  }
  const std::size_t files = options.arguments.size();
  if (options.job && (command->flags & kJobFile)) {
    // A job holds everything it burns: nothing on the command line may change it.
    const bool changes = options.model || options.clock || options.serial || options.serialStart ||
                         options.serialStep || options.counter || options.reset || files > 0;
    if (changes) {
      return fail(Tr(language,
                     "%1 --job: -m, -c, --reset, --serial, --serial-start, "
                     "--serial-step, --counter and a FILE belong to the job",
                     {options.command}));
    }
  } else if (!command->actions.empty()) {
    const std::string action = files > 0 ? options.arguments[0] : "";
    bool known = false;
    for (const ActionSpec& spec : command->actions)
      known = known || (action == spec.name && files == spec.arguments + 1);
    if (!known) return fail(Tr(language, command->usage));
  } else if (files != ((command->flags & kFile) ? 1u : 0u)) {
    return fail(Tr(language, (command->flags & kFile) ? "%1 takes one file" : "%1 takes no file",
                   {options.command}));
  }
  return options;
}

std::string HelpText(Language language, const std::string& name) {
  const CommandSpec* command = name.empty() ? nullptr : FindCommand(name);
  if (!command) return HelpText(language);
  std::string out = Tr(language, "usage: otpwriter-cli [OPTIONS] %1",
                       {std::string(command->name) + (command->argument ? " " : "") +
                        (command->argument ? command->argument : "")}) +
                    "\n\n";
  const std::string help = Tr(language, command->help);
  // The help's later lines are indented for the list of commands.
  for (std::size_t start = 0; start <= help.size();) {
    const std::size_t lf = std::min(help.find('\n', start), help.size());
    std::string line = help.substr(start, lf - start);
    line.erase(0, line.find_first_not_of(' '));
    out += line + "\n";
    start = lf + 1;
  }
  if (command->usage) out += "\n" + Tr(language, command->usage) + "\n";
  if (std::string_view(command->name) == "produce")
    out += "\n" + Tr(language, kProduceStatus) + "\n";
  out += "\n" + Tr(language, "Every option and exit status: otpwriter-cli --help") + "\n";
  return out;
}

std::string HelpText(Language language) {
  std::string out = Tr(language, "usage: otpwriter-cli [OPTIONS] COMMAND [FILE]") + "\n\n" +
                    Tr(language,
                       "Writes program images into the OTP memory of a KT47C630A or KT47C150 "
                       "on a user board\nover a serial line, with the same engine as the "
                       "otpwriter window.") +
                    "\n\n" + Tr(language, "Commands:") + "\n";
  for (const CommandSpec& command : CommandTable()) {
    AppendItem(out,
               std::string(command.name) + (command.argument ? " " : "") +
                   (command.argument ? command.argument : ""),
               Tr(language, command.help));
  }
  out += "\n" + Tr(language, "Options:") + "\n";
  for (const OptionSpec& option : kOptions) {
    std::string left = option.shortName ? std::string(option.shortName) + ", " : "    ";
    left += option.longName;
    if (option.value) left += std::string(" ") + option.value;
    AppendItem(out, left, Tr(language, option.help));
  }
  out += "\n" + Tr(language, "Exit status:") + "\n";
  for (const ExitLine& line : kExitLines) {
    AppendItem(out, std::to_string(line.status), Tr(language, line.text), 6);
  }
  out += "\n" + Tr(language, kProduceStatus) + "\n";
  return out;
}

}  // namespace otp::cli
