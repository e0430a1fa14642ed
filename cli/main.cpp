// otpwriter-cli: the writer's engine for scripts, test rigs and production benches.

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QSysInfo>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>

#include "cli/Console.h"
#include "cli/Interrupt.h"
#include "cli/Options.h"
#include "cli/Session.h"
#include "core/AtomicFile.h"
#include "core/Catalogue.h"
#include "core/Utf8Path.h"
#include "hexfile/ImageFile.h"
#include "link/Download.h"
#include "link/PortAccess.h"
#include "link/QtSerialPort.h"
#include "ops/Plan.h"
#include "ops/Serial.h"
#include "ops/Setup.h"
#include "res/Version.h"
#include "store/ProductionStore.h"

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif
#include <map>

namespace otp::cli {

namespace {

constexpr const char* kProgram = "otpwriter-cli";

std::string Hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof(text), "%0*X", digits, static_cast<unsigned>(value));
  return text;
}

std::string VersionText() {
  return std::to_string(OTP_VERSION_MAJOR) + "." + std::to_string(OTP_VERSION_MINOR) + "." +
         std::to_string(OTP_VERSION_PATCH) + "." + std::to_string(OTP_VERSION_TWEAK);
}

/// Where the files lie: the program's own places, unless the options name others.
WriterSetup SetupFor(const Options& options) {
  FileLocations locations =
      LocateFiles(PlaceFactsOf(QCoreApplication::applicationDirPath().toStdString()));
  if (options.monitorDir) {
    locations.programDir = ModuleDirFrom(*options.monitorDir);
    locations.monitorDirs = {locations.programDir};
  }
  if (options.settings) locations.settingsFile = *options.settings;
  return WriterSetup(locations);
}

/// The operator's choices, resolved: the model's row, the speed entry, the port.
struct Target {
  const ChipRow* model = nullptr;
  int rate = 0;
  std::string portName;
  std::string device;
};

/// Hands serial numbers to the ports' threads in port order. The store is used on one
/// thread only, the one that serves the desk.
class NumberDesk {
 public:
  using Reserve = std::function<std::optional<std::uint64_t>(std::size_t port)>;

  explicit NumberDesk(std::size_t ports) : asks_(ports, State::kPending), numbers_(ports) {}

  /// A port's thread: the number for its unit, given once every port before it has asked
  /// or passed; none when the store could not give one (then no later port gets one).
  std::optional<std::uint64_t> Ask(std::size_t port) {
    std::unique_lock lock(mutex_);
    asks_[port] = State::kWants;
    changed_.notify_all();
    changed_.wait(lock, [&] { return asks_[port] == State::kAnswered; });
    return numbers_[port];
  }
  /// A port's thread: its unit needs no number.
  void Pass(std::size_t port) {
    const std::lock_guard lock(mutex_);
    asks_[port] = State::kPassed;
    changed_.notify_all();
  }
  /// The serving thread: waits for each port in turn and reserves with `reserve` for the
  /// ones that ask, until it fails once. Every port must ask or pass.
  void Serve(const Reserve& reserve) {
    bool failed = false;
    for (std::size_t port = 0; port < asks_.size(); ++port) {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return asks_[port] != State::kPending; });
      if (asks_[port] != State::kWants) continue;
      lock.unlock();
      std::optional<std::uint64_t> number;
      if (!failed) number = reserve(port);
      failed = failed || !number;
      lock.lock();
      numbers_[port] = number;
      asks_[port] = State::kAnswered;
      changed_.notify_all();
    }
  }

 private:
  enum class State { kPending, kWants, kPassed, kAnswered };
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<State> asks_;
  std::vector<std::optional<std::uint64_t>> numbers_;
};

class Program {
 public:
  Program(const Options& options, Console& console)
      : options_(options),
        console_(console),
        setup_(SetupFor(options)),
        language_(options.lang ? (*options.lang == "ja" ? Language::kJapanese : Language::kEnglish)
                               : SystemLanguage()),
        start_(std::chrono::steady_clock::now()) {}

  int Run() {
    const std::string& command = options_.command;
    if (command == "ports") return Finish(Ports());
    if (!ResolveTarget()) return Finish(kExitUsage);
    if (command == "info") return Finish(Info());
    if (command == "produce") return Finish(Produce());
    if (command == "log") return Finish(Log());
    return Finish(OnPort());
  }

 private:
  int Usage(const std::string& text) {
    console_.Error(std::string(kProgram) + ": " + text);
    return kExitUsage;
  }

  bool ResolveTarget() {
    const RecentSettings recent = setup_.Load();
    if (options_.model) {
      target_.model = ModelNamed(*options_.model);
      if (!target_.model) {
        Usage("unknown model " + *options_.model + " (KT47C630A or KT47C150)");
        return false;
      }
    } else {
      target_.model = ModelAt(recent.cpu) ? ModelAt(recent.cpu) : ModelAt(0);
    }
    if (options_.clock) {
      const auto rate = RateNamed(*target_.model, *options_.clock);
      if (!rate) {
        Usage("unknown clock " + *options_.clock + " (2MHz, 4MHz or 8MHz)");
        return false;
      }
      target_.rate = *rate;
    } else {
      target_.rate = recent.rate >= 0 && recent.rate < 3 ? recent.rate : 0;
    }
    std::vector<std::string> names = options_.ports;
    if (names.empty())
      names.push_back(ComName(recent.com >= 1 && recent.com <= 4 ? recent.com : 1));
    for (const std::string& name : names) {
      Target target = target_;
      target.portName = name;
      target.device = setup_.Device(name);
      if (target.device.empty()) target.device = name;  // a device path
      targets_.push_back(target);
    }
    target_ = targets_.front();
    return true;
  }

  int Finish(int status) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    Json result("result");
    if (targets_.size() > 1) result.AddNull("port");  // the summary after a result a port
    console_.Emit(result.Add("ok", status == kExitOk).Add("exit", status).Add("seconds", seconds));
    return status;
  }

  // ports: every serial port the system knows, and every name of the settings file.
  int Ports() {
    const auto mapped = ReadPortsSection(setup_.settingsFile());
    auto canonical = [](const std::string& path) {
      std::error_code ec;
      const auto resolved = std::filesystem::canonical(path, ec);
      return ec ? path : resolved.string();
    };
    // The COM name that leads to `device`: an entry of the settings file, else COMn for
    // /dev/ttyUSB(n-1) when the file does not give COMn another device.
    auto comFor = [&](const std::string& device) -> std::string {
      for (const auto& [name, path] : mapped) {
        if (canonical(path) == canonical(device)) return name;
      }
      for (int n = 1; n <= 256; ++n) {
        const std::string name = ComName(n);
        if (setup_.Device(name) == device) return name;
      }
      return {};
    };
    int listed = 0;
    auto show = [&](const std::string& device, const std::string& com,
                    const QSerialPortInfo* info) {
      ++listed;
      Json event("port");
      event.Add("device", device);
      com.empty() ? event.AddNull("com") : event.Add("com", com);
      std::string line = device + (com.empty() ? "" : "  " + com);
      if (info) {
        const std::string description = info->description().toStdString();
        const std::string maker = info->manufacturer().toStdString();
        const std::string serial = info->serialNumber().toStdString();
        event.Add("description", description).Add("manufacturer", maker);
        if (info->hasVendorIdentifier() && info->hasProductIdentifier()) {
          const std::string id =
              Hex(info->vendorIdentifier(), 4) + ":" + Hex(info->productIdentifier(), 4);
          event.Add("usb", id);
          line += "  USB " + id;
        } else {
          event.AddNull("usb");
        }
        event.Add("serial", serial);
        if (!description.empty()) line += "  " + description;
        if (!maker.empty()) line += " (" + maker + ")";
        if (!serial.empty()) line += "  serial " + serial;
        // USB adapters whose driver has a latency timer hold short replies back for it.
        std::ifstream timer("/sys/class/tty/" + info->portName().toStdString() +
                            "/device/latency_timer");
        int ms = -1;
        if (timer >> ms) {
          event.Add("latencyMs", ms);
          line += "  latency " + std::to_string(ms) + " ms";
        } else {
          event.AddNull("latencyMs");
        }
        event.Add("present", true);
      } else {
        const bool present = std::filesystem::exists(device);
        event.Add("present", present);
        line +=
            present ? "  (named in the settings file)" : "  (named in the settings file; absent)";
      }
      console_.Emit(event);
      console_.Say(line);
    };
    std::vector<std::string> shown;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
      const std::string device = info.systemLocation().toStdString();
      shown.push_back(canonical(device));
      show(device, comFor(device), &info);
    }
    for (const auto& [name, device] : mapped) {
      if (std::find(shown.begin(), shown.end(), canonical(device)) != shown.end()) continue;
      shown.push_back(canonical(device));
      show(device, name, nullptr);
    }
    if (listed == 0) console_.Say("no serial ports");
    return kExitOk;
  }

  int Info() {
    const std::string& file = options_.arguments.front();
    const auto start = static_cast<std::uint32_t>(target_.model->startAddr);
    const auto end = static_cast<std::uint32_t>(target_.model->endAddr);
    FlashImage image;
    ImageCoverage coverage{};
    const ImageResult result =
        IsBinaryFileName(file)
            ? LoadBinaryFile(file, options_.base.value_or(start), start, end, image, &coverage)
            : LoadImageFile(file, start, end, image, &coverage);
    if (result.error != ImageError::kNone) {
      const std::string text = ImageErrorText(result);
      console_.Emit(Json("report").AddNull("id").Add("kind", "error").Add("text", text));
      console_.Error(std::string(kDecoderCaption) + ": " + file + ": " + text);
      return kExitFile;
    }
    const ImageSummary summary = Summarize(result, coverage, image, start, end);
    Json event("info");
    event.Add("file", file).Add("model", target_.model->model).Add("start", start).Add("end", end);
    event.Add("lines", summary.lines).Add("dataBytes", summary.dataBytes);
    event.Add("nonBlankBlocks", summary.nonBlankBlocks).Add("blocks", (end - start + 1) / 256);
    summary.lowest ? event.Add("lowest", *summary.lowest) : event.AddNull("lowest");
    summary.highest ? event.Add("highest", *summary.highest) : event.AddNull("highest");
    event.Add("crc32", static_cast<long long>(summary.crc32)).Add("sum", unsigned{summary.sum});
    console_.Emit(event);
    auto row = [this](const char* name, const std::string& value) {
      char text[256];
      std::snprintf(text, sizeof(text), "%-16s%s", name, value.c_str());
      console_.Say(text);
    };
    row("file", file);
    row("model", std::string(target_.model->model) + ", OTP area " + Hex(start, 4) + "H-" +
                     Hex(end, 4) + "H");
    row("lines", std::to_string(summary.lines));
    row("data bytes", std::to_string(summary.dataBytes));
    row("blocks", std::to_string(summary.nonBlankBlocks) + " of " +
                      std::to_string((end - start + 1) / 256) + " not blank");
    row("lowest", summary.lowest ? Hex(*summary.lowest, 4) + "H" : "-");
    row("highest", summary.highest ? Hex(*summary.highest, 4) + "H" : "-");
    row("CRC-32", "0x" + Hex(summary.crc32, 8));
    row("sum", "0x" + Hex(summary.sum, 2));
    return kExitOk;
  }

  // Asks for the board's reset; false when the operator declined or pressed Ctrl-C.
  bool ResetPrompt() {
    const std::string text =
        std::string(kResetPrompt).substr(0, std::string(kResetPrompt).find('\n')) +
        "\nThen press Enter (q and Enter to stop).";
    if (console_.json()) {
      console_.Error(text);
    } else {
      std::printf("%s\n", text.c_str());
      std::fflush(stdout);
    }
    std::string line;
    char c = 0;
    while (true) {
      const auto n = ::read(0, &c, 1);
      if (n <= 0) return false;  // end of input, or Ctrl-C
      if (c == '\n') break;
      line += c;
    }
    return line != "q" && line != "Q";
  }

  int Interrupted(Session& session) {
    session.view().Error(std::string(kProgram) + ": interrupted");
    return kExitInterrupted;
  }

  int OnPort() {
    InstallInterruptHandler();
    ResetMethod reset = options_.reset.value_or(
        ResetMethod{isatty(0) ? ResetMethod::Kind::kPrompt : ResetMethod::Kind::kNone, {}});
    // One prompt for every board.
    if (reset.kind == ResetMethod::Kind::kPrompt) {
      if (!ResetPrompt()) {
        console_.Error(std::string(kProgram) + ": interrupted");
        return kExitInterrupted;
      }
      reset.kind = ResetMethod::Kind::kNone;
    }
    if (targets_.size() == 1) return RunJob(targets_.front(), -1, reset);
    return RunGang(reset);
  }

  // Several ports at once: an engine for each on a thread of its own, nothing shared but
  // the options. The status is that of the first port, in command-line order, that did
  // not pass.
  int RunGang(ResetMethod reset) {
    console_.SetSlots(PortLabels());
    std::vector<int> statuses(targets_.size(), kExitOk);
    ForEachPort(
        [&](std::size_t i) { statuses[i] = RunJob(targets_[i], static_cast<int>(i), reset); });
    console_.EndProgress();
    int first = kExitOk;
    for (std::size_t i = 0; i < targets_.size(); ++i) {
      console_.Emit(Json("result")
                        .Add("port", targets_[i].portName)
                        .Add("ok", statuses[i] == kExitOk)
                        .Add("exit", statuses[i]));
      console_.Say(
          statuses[i] == kExitOk ? "OK" : "FAILED, exit status " + std::to_string(statuses[i]),
          static_cast<int>(i));
      if (first == kExitOk) first = statuses[i];
    }
    return first;
  }

  std::vector<std::string> PortLabels() const {
    std::vector<std::string> labels;
    for (const Target& target : targets_)
      labels.push_back(target.portName);
    return labels;
  }

  // Runs `job` for every port, each on a thread of its own, while this thread does
  // `meanwhile`; returns when every job has ended.
  void ForEachPort(const std::function<void(std::size_t)>& job,
                   const std::function<void()>& meanwhile = {}) {
    std::vector<std::unique_ptr<QThread>> threads;
    for (std::size_t i = 0; i < targets_.size(); ++i) {
      threads.emplace_back(QThread::create(job, i));
      threads.back()->start();
    }
    if (meanwhile) meanwhile();
    for (auto& thread : threads)
      thread->wait();
  }

  // The event that opens a port's job.
  Json StartEvent(const CliView& view, const Target& target, int baud) const {
    Json event = view.Event("start");
    event.Add("command", options_.command).Add("model", target.model->model);
    if (targets_.size() == 1) event.Add("port", target.portName);  // else the view named it
    return event.Add("device", target.device).Add("baud", baud);
  }

  // What the operator can do about a Download that failed at the port itself.
  void ExplainDownload(const CliView& view, const Target& target, Outcome outcome) {
    if (outcome == Outcome::kNoResetLine) {
      view.Error(std::string(kProgram) + ": " + target.device +
                 " has no modem lines: the board cannot be reset through DTR (use --reset "
                 "prompt or --reset none)");
    } else if (outcome != Outcome::kOk && view.lastError == msg::kOpenComPort) {
      const std::string hint = PortAccessHint(target.device);
      if (!hint.empty()) view.Error(std::string(kProgram) + ": " + hint);
    }
  }

  // A port's engine, for `target`'s model, with the monitor files' folders.
  std::unique_ptr<Session> SessionFor(const Target& target, int slot) {
    auto session = std::make_unique<Session>(console_, options_, language_, slot, target.portName);
    CWriter& writer = session->writer();
    writer.spec.Assign(*target.model);
    writer.m_strModuleDir = setup_.moduleDir();
    writer.monitorDirs = setup_.monitorDirs();
    return session;
  }

  // One port's whole job: Download, then the command's operations.
  int RunJob(const Target& target, int slot, ResetMethod reset) {
    const std::unique_ptr<Session> own = SessionFor(target, slot);
    Session& session = *own;
    CWriter& writer = session.writer();
    writer.binaryBase = options_.base.value_or(static_cast<std::uint32_t>(target.model->startAddr));
    const int baud = writer.spec.BaudFor(target.rate).value_or(0);
    console_.Emit(StartEvent(session.view(), target, baud));
    if (console_.verbose()) {
      session.view().Say(options_.command + " on " + target.portName + " (" + target.device +
                         "), " + std::string(target.model->model) + " at " + std::to_string(baud) +
                         " bit/s");
    }
    QtSerialPortFactory ports;
    session.view().SetPhase("download", baud);
    Outcome outcome = writer.Download(ports, target.device, target.rate, reset);
    ExplainDownload(session.view(), target, outcome);
    if (outcome != Outcome::kOk) return session.ExitFor(outcome);
    auto phase = [&](const char* name) {
      if (otp::cli::Interrupted()) return false;
      session.view().SetPhase(name, baud);
      return true;
    };
    const std::string& command = options_.command;
    if (command == "blank-check") {
      if (!phase("blank-check")) return Interrupted(session);
      return session.ExitFor(writer.BlankCheck());
    }
    if (command == "plan") {
      if (!phase("plan")) return Interrupted(session);
      BurnPlan plan;
      outcome = writer.RunCheckAgainstDevice(options_.arguments.front(), plan);
      if (outcome != Outcome::kOk && outcome != Outcome::kNotGood) {
        return session.ExitFor(outcome);
      }
      ShowPlan(session, plan);
      return plan.Good() ? kExitOk : kExitPlan;
    }
    if (command == "program") {
      if (options_.blankCheck) {
        if (!phase("blank-check")) return Interrupted(session);
        outcome = writer.BlankCheck();
        if (outcome != Outcome::kOk) return session.ExitFor(outcome);
      }
      if (options_.noPlan) {
        if (!phase("program")) return Interrupted(session);
        outcome = writer.RunProgramVerify(options_.arguments.front());
      } else {
        // The plan first: nothing is written to a part that cannot take the image, or that
        // holds part of it already unless the run is to finish it.
        if (!phase("plan")) return Interrupted(session);
        BurnPlan plan;
        outcome = writer.RunCheckAgainstDevice(options_.arguments.front(), plan);
        if (outcome != Outcome::kOk && outcome != Outcome::kNotGood) {
          return session.ExitFor(outcome);
        }
        if (!plan.Good() || (plan.Started() && !options_.resume)) {
          ShowPlan(session, plan);
          session.view().Error(std::string(kProgram) + ": " +
                               (!plan.Good()
                                    ? "this part can never hold this image: nothing written"
                                    : "this part already holds part of this image: nothing "
                                      "written (--resume finishes it)"));
          return kExitPlan;
        }
        if (!phase("program")) return Interrupted(session);
        outcome = writer.RunProgramVerify(options_.resume ? &plan : nullptr);
      }
      if (outcome != Outcome::kOk || options_.noCompare) return session.ExitFor(outcome);
      if (!phase("compare")) return Interrupted(session);
      return Compared(session, writer.RunReadCompare());
    }
    if (command == "compare") {
      if (!phase("compare")) return Interrupted(session);
      return Compared(session, writer.RunReadCompare(options_.arguments.front()));
    }
    // read
    if (!phase("read")) return Interrupted(session);
    const std::string& out = options_.arguments.front();
    const ImageFormat format = options_.format.value_or(FormatForFileName(out));
    outcome = writer.ReadDeviceToFile(out, format, options_.skipBlank);
    if (outcome != Outcome::kOk) return session.ExitFor(outcome);
    static constexpr const char* kFormatNames[] = {"S-record", "Intel HEX", "binary"};
    std::error_code ec;
    console_.Emit(Json("file")
                      .Add("path", out)
                      .Add("format", kFormatNames[static_cast<int>(format)])
                      .Add("bytes", static_cast<std::size_t>(std::filesystem::file_size(out, ec))));
    return kExitOk;
  }

  // The plan's counts, its map of the blocks and its conflicts.
  void ShowPlan(Session& session, const BurnPlan& plan) {
    CliView& view = session.view();
    std::string names = "[";
    for (const BlockClass c : plan.blocks)
      names += std::string(names.size() > 1 ? "," : "") + JsonString(BlockClassName(c));
    std::string conflicts = "[";
    for (const Conflict& conflict : plan.conflicts) {
      conflicts += std::string(conflicts.size() > 1 ? "," : "") +
                   Json()
                       .Add("address", conflict.address)
                       .Add("device", unsigned{conflict.device})
                       .Add("file", unsigned{conflict.file})
                       .Text();
    }
    Json event = view.Event("plan");
    for (int c = 0; c < kBlockClasses; ++c)
      event.Add(BlockClassName(static_cast<BlockClass>(c)), plan.counts[c]);
    console_.Emit(event.AddRaw("blocks", names + "]")
                      .AddRaw("conflicts", conflicts + "]")
                      .Add("conflictBytes", plan.conflictBytes));
    char line[160];
    std::snprintf(line, sizeof(line),
                  "plan: %d to write, %d done, %d completable, %d in conflict, %d to skip",
                  plan.Count(BlockClass::kWrite), plan.Count(BlockClass::kDone),
                  plan.Count(BlockClass::kCompletable), plan.Count(BlockClass::kConflict),
                  plan.Count(BlockClass::kSkip));
    view.Say(line);
    view.Say("        0123456789ABCDEF");
    for (std::size_t row = 0; row * 16 < plan.blocks.size(); ++row) {
      std::string marks;
      for (std::size_t i = row * 16; i < std::min(plan.blocks.size(), row * 16 + 16); ++i)
        marks += BlockClassMark(plan.blocks[i]);
      view.Say("  " + Hex(plan.start + static_cast<std::uint32_t>(row) * 16 * 256, 4) + "  " +
               marks);
    }
    view.Say("  . skip  + write  = done  ~ completable  X conflict");
    if (plan.conflictBytes == 0) return;
    view.Say(std::to_string(plan.conflictBytes) +
             (plan.conflictBytes == 1 ? " byte needs" : " bytes need") + " a 0 to become 1" +
             (plan.conflictBytes > plan.conflicts.size() ? ", the first:" : ":"));
    for (const Conflict& conflict : plan.conflicts) {
      std::snprintf(line, sizeof(line), "  0x%04X: device 0x%02X, file 0x%02X",
                    static_cast<unsigned>(conflict.address), conflict.device, conflict.file);
      view.Say(line);
    }
  }

  // ---- Production -------------------------------------------------------------------

  static std::string IsoNow() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toStdString();
  }

  std::unique_ptr<ProductionStore> OpenStore() {
    std::string error;
    auto store = ProductionStore::Open(options_.db, error);
    if (!store) console_.Error(std::string(kProgram) + ": the production store: " + error);
    return store;
  }

  // One line across the terminal, in colour where the terminal has it.
  void Banner(bool pass, const std::string& text) {
    int width = 72;
#ifndef _WIN32
    winsize size{};
    if (isatty(1) && ::ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_col > 20) width = size.ws_col;
#endif
    std::string line = std::string(pass ? "PASS" : "FAIL") + "  " + text;
    const std::string fill(
        static_cast<std::size_t>(std::max(0, width - static_cast<int>(line.size()) - 2)) / 2, '=');
    line = fill + " " + line + " " + fill;
    const char* colour =
        std::getenv("NO_COLOR") == nullptr && console_.mode() == Console::Mode::kTerminal
            ? (pass ? "\033[1;42;30m" : "\033[1;41;37m")
            : nullptr;
    console_.Say(colour ? std::string(colour) + line + "\033[0m" : line);
  }

  // A port of the production loop: its engine, and its current unit.
  struct Bench {
    const Target* target = nullptr;
    std::unique_ptr<Session> session;
    Attempt attempt;
    std::optional<std::uint64_t> number;
    bool burned = false;  // false: the unit got no number and nothing was sent to it
    int status = kExitOk;
  };

  int Produce() {
    const std::string& file = options_.arguments.front();
    const auto start = static_cast<std::uint32_t>(target_.model->startAddr);
    const auto end = static_cast<std::uint32_t>(target_.model->endAddr);
    // The image is read once: every unit gets the same one.
    FlashImage image;
    const ImageResult loaded =
        IsBinaryFileName(file)
            ? LoadBinaryFile(file, options_.base.value_or(start), start, end, image)
            : LoadImageFile(file, start, end, image);
    if (loaded.error != ImageError::kNone || loaded.dataBytes == 0) {
      console_.Error(std::string(kDecoderCaption) + ": " + file + ": " +
                     (loaded.error != ImageError::kNone ? ImageErrorText(loaded) : kNoDataText));
      return kExitFile;
    }
    std::optional<SerialRule> rule;
    if (options_.serial) {
      std::string error;
      rule = ParseSerialRule(*options_.serial, error);
      if (!rule) return Usage(error);
      const std::string why = SerialPlacementError(*rule, image, start, end);
      if (!why.empty()) {
        console_.Error(std::string(kProgram) + ": " + why);
        return kExitFile;
      }
    }
    const std::uint32_t crc = Crc32(&image[start], end - start + 1);
    const std::string station =
        options_.station.value_or(QSysInfo::machineHostName().toStdString());
    auto store = OpenStore();
    if (!store) return kExitFile;
    std::string error;
    // A unit that the station was burning when it died may hold its number: spoiled.
    const auto leftovers = store->SpoilLeftovers(station, error);
    if (!leftovers) {
      console_.Error(std::string(kProgram) + ": the production store: " + error);
      return kExitFile;
    }
    // What every attempt of this run records about the station and the image.
    const auto newAttempt = [&](const Target& target) {
      Attempt attempt;
      attempt.started = IsoNow();
      attempt.station = station;
      attempt.port = target.portName;
      attempt.device = target.device;
      attempt.model = std::string(target_.model->model);
      attempt.clock = std::string(target_.model->speeds[static_cast<std::size_t>(target_.rate)]);
      attempt.image = file;
      attempt.crc32 = crc;
      return attempt;
    };
    for (const std::uint64_t number : *leftovers) {
      console_.Say("serial " + std::to_string(number) +
                   " was reserved when this station stopped: it is spoiled");
      Attempt dead = newAttempt(target_);
      dead.ended = dead.started;
      dead.serial = number;
      dead.serialState = SerialStateName(SerialState::kSpoiled);
      dead.result = "interrupted";
      dead.exitStatus = kExitInterrupted;
      dead.reportText = "the station stopped during the unit";
      if (!store->Record(dead, error)) {
        console_.Error(std::string(kProgram) + ": the production store: " + error);
        return kExitFile;
      }
    }

    std::vector<Bench> benches;
    for (std::size_t i = 0; i < targets_.size(); ++i) {
      Bench bench;
      bench.target = &targets_[i];
      bench.session = SessionFor(targets_[i], targets_.size() > 1 ? static_cast<int>(i) : -1);
      benches.push_back(std::move(bench));
    }
    const bool gang = benches.size() > 1;
    const int baud = benches.front().session->writer().spec.BaudFor(target_.rate).value_or(0);
    std::string ports;
    for (const Target& target : targets_)
      ports += (ports.empty() ? "" : ", ") + target.portName +
               (target.device == target.portName ? "" : " (" + target.device + ")");
    char header[256];
    std::snprintf(header, sizeof(header), "%s (CRC-32 0x%08X), %s at %d bit/s on ", file.c_str(),
                  crc, std::string(target_.model->model).c_str(), baud);
    console_.Say(header + ports);
    console_.Say("serial numbers: " +
                 (rule ? rule->Text() + " from " + std::to_string(options_.serialStart) +
                             " in steps of " + std::to_string(options_.serialStep)
                       : std::string("none")) +
                 "; station " + station + "; records in " + options_.db);
    for (Bench& bench : benches)
      console_.Emit(StartEvent(bench.session->view(), *bench.target, baud)
                        .Add("crc32", static_cast<long long>(crc)));
    InstallInterruptHandler();
    const ResetMethod reset = options_.reset && options_.reset->kind == ResetMethod::Kind::kDtr
                                  ? *options_.reset
                                  : ResetMethod{ResetMethod::Kind::kNone, {}};
    int passed = 0;
    int failed = 0;
    int last = kExitOk;
    const auto began = std::chrono::steady_clock::now();
    while (!otp::cli::Interrupted()) {
      if (console_.json()) {
        console_.Error(gang ? "Enter: burn the next units; q and Enter: end"
                            : "Enter: burn the next unit; q and Enter: end");
      } else {
        std::printf(gang ? "\nEnter: burn the next units; q and Enter: end > "
                         : "\nEnter: burn the next unit; q and Enter: end > ");
        std::fflush(stdout);
      }
      if (!ReadAnswer()) break;
      if (gang) console_.SetSlots(PortLabels());
      for (Bench& bench : benches) {
        bench.session->view().ResetFindings();
        bench.attempt = newAttempt(*bench.target);
        bench.number.reset();
        bench.burned = false;
      }
      // Every port burns its unit on a thread of its own; the store stays on this thread,
      // which hands out the numbers in port order as the ports ask for them.
      NumberDesk desk(benches.size());
      std::string storeError;
      ForEachPort(
          [&](std::size_t i) {
            BurnUnit(benches[i], i, image, rule ? &*rule : nullptr, desk, reset, baud);
          },
          [&] {
            desk.Serve([&](std::size_t) -> std::optional<std::uint64_t> {
              auto number = store->Reserve("serial", options_.serialStart, options_.serialStep,
                                           station, storeError);
              if (!number) {
                storeError = "the production store: " + storeError;
              } else if (!EncodeSerial(*rule, *number)) {
                storeError = "serial number " + std::to_string(*number) + " does not fit " +
                             rule->Text() + ": nothing burned";
                store->Settle("serial", *number, SerialState::kReleased, error);
                number.reset();
              }
              return number;
            });
          });
      if (gang) console_.EndProgress();
      int roundStatus = kExitOk;
      bool stop = false;
      for (Bench& bench : benches) {
        if (!bench.burned) continue;  // no number for it: nothing was sent to its part
        CliView& view = bench.session->view();
        Attempt& attempt = bench.attempt;
        const bool pass = bench.status == kExitOk;
        if (bench.number) {
          const SerialState state =
              pass ? SerialState::kUsed
                   : (bench.session->writer().programBlocksSent > 0 ? SerialState::kSpoiled
                                                                    : SerialState::kReleased);
          attempt.serialState = SerialStateName(state);
          if (!stop && !store->Settle("serial", *bench.number, state, error)) stop = true;
        }
        if (!stop && !store->Record(attempt, error)) stop = true;
        (pass ? passed : failed) += 1;
        if (roundStatus == kExitOk) roundStatus = bench.status;
        Banner(pass, (gang ? bench.target->portName + "  " : std::string()) +
                         (bench.number ? "serial " + std::to_string(*bench.number) +
                                             (pass ? "" : " (" + attempt.serialState + ")")
                                       : "unit " + std::to_string(passed + failed)));
        if (!pass) view.Say(attempt.reportText);
        Json unit = view.Event("unit");
        unit.Add("result", attempt.result).Add("exit", bench.status);
        bench.number ? unit.Add("serial", static_cast<long long>(*bench.number))
                     : unit.AddNull("serial");
        if (bench.number) unit.Add("serialState", attempt.serialState);
        console_.Emit(
            unit.Add("passed", passed).Add("failed", failed).Add("seconds", attempt.seconds));
      }
      last = roundStatus;
      const double hours =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count() / 3600;
      char counters[128];
      std::snprintf(counters, sizeof(counters), "passed %d  failed %d  total %d  %.0f units/hour",
                    passed, failed, passed + failed, (passed + failed) / std::max(hours, 1e-9));
      console_.Say(counters);
      if (stop) {
        console_.Error(std::string(kProgram) + ": the production store: " + error);
        return kExitFile;
      }
      if (!storeError.empty()) {
        console_.Error(std::string(kProgram) + ": " + storeError);
        return kExitFile;
      }
    }
    char counters[128];
    std::snprintf(counters, sizeof(counters), "end: passed %d  failed %d  total %d", passed, failed,
                  passed + failed);
    console_.Say(counters);
    return last;
  }

  // One port's unit: Download; its serial number, asked of the desk in port order; the
  // plan; Program+Verify; Read+Compare. The link is closed on this thread, which opened it.
  void BurnUnit(Bench& bench, std::size_t index, const FlashImage& image, const SerialRule* rule,
                NumberDesk& desk, ResetMethod reset, int baud) {
    CliView& view = bench.session->view();
    CWriter& writer = bench.session->writer();
    const Target& target = *bench.target;
    const auto unitStart = std::chrono::steady_clock::now();
    writer.programBlocksSent = 0;
    QtSerialPortFactory ports;
    view.SetPhase("download", baud);
    Outcome outcome = writer.Download(ports, target.device, target.rate, reset);
    ExplainDownload(view, target, outcome);
    if (outcome == Outcome::kOk && rule) {
      // Reserved before the first program block can be sent.
      bench.number = desk.Ask(index);
      if (!bench.number) {
        writer.link.Close();
        return;
      }
    } else {
      desk.Pass(index);
    }
    bench.burned = true;
    writer.FlashBuffer = image;
    if (bench.number) {
      const auto bytes = EncodeSerial(*rule, *bench.number);  // the desk checked that it fits
      std::copy(bytes->begin(), bytes->end(), writer.FlashBuffer.begin() + rule->address);
    }
    int status = kExitOk;
    BurnPlan plan;
    if (outcome == Outcome::kOk) {
      view.SetPhase("plan", baud);
      outcome = writer.CheckAgainstDevice(plan);
      if (outcome == Outcome::kOk && plan.Started() && !options_.resume) {
        outcome = Outcome::kNotGood;
        view.failure = "the part already holds part of the image";
      }
      if (outcome == Outcome::kNotGood) {
        if (view.failure.empty()) view.failure = "the part can never hold the image";
        status = kExitPlan;
      }
    }
    if (outcome == Outcome::kOk) {
      view.SetPhase("program", baud);
      outcome = writer.RunProgramVerify(options_.resume ? &plan : nullptr);
    }
    if (outcome == Outcome::kOk) {
      view.SetPhase("compare", baud);
      outcome = writer.RunReadCompare();
    }
    if (status == kExitOk) status = bench.session->ExitFor(outcome);
    writer.link.Close();
    bench.status = status;
    Attempt& attempt = bench.attempt;
    const bool pass = status == kExitOk;
    attempt.result = pass ? "pass" : (outcome == Outcome::kCanceled ? "interrupted" : "fail");
    attempt.exitStatus = status;
    attempt.reportId = view.lastError;
    attempt.reportText = pass ? "" : view.failure;
    attempt.firstDifference = view.firstDifference;
    attempt.serial = bench.number;
    attempt.ended = IsoNow();
    attempt.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - unitStart).count();
  }

  // A line from the operator: false at "q", at the end of input and at Ctrl-C.
  bool ReadAnswer() {
    std::string line;
    char c = 0;
    while (true) {
      const auto n = ::read(0, &c, 1);
      if (n <= 0) return false;
      if (c == '\n') break;
      line += c;
    }
    return line != "q" && line != "Q";
  }

  int Log() {
    auto store = OpenStore();
    if (!store) return kExitFile;
    std::string error;
    const auto attempts = store->Attempts(options_.since.value_or(""), error);
    if (!attempts) {
      console_.Error(std::string(kProgram) + ": the production store: " + error);
      return kExitFile;
    }
    std::map<std::string, int> byResult;
    std::string csv =
        "started,ended,station,port,device,model,clock,image,crc32,serial,serial_state,result,"
        "exit_status,report_id,report_text,first_difference,seconds\n";
    auto field = [](const std::string& text) {
      std::string quoted = "\"";
      for (const char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
      return quoted + "\"";
    };
    for (const Attempt& a : *attempts) {
      ++byResult[a.result];
      const std::string serial = a.serial ? std::to_string(*a.serial) : "";
      const std::string difference = a.firstDifference ? "0x" + Hex(*a.firstDifference, 4) : "";
      char seconds[32];
      std::snprintf(seconds, sizeof(seconds), "%.1f", a.seconds);
      csv += a.started + "," + a.ended + "," + field(a.station) + "," + field(a.port) + "," +
             field(a.device) + "," + a.model + "," + a.clock + "," + field(a.image) + ",0x" +
             Hex(a.crc32, 8) + "," + serial + "," + a.serialState + "," + a.result + "," +
             std::to_string(a.exitStatus) + "," + (a.reportId ? std::to_string(*a.reportId) : "") +
             "," + field(a.reportText) + "," + difference + "," + seconds + "\n";
      Json event("attempt");
      event.Add("started", a.started).Add("ended", a.ended).Add("station", a.station);
      event.Add("port", a.port).Add("device", a.device).Add("model", a.model).Add("clock", a.clock);
      event.Add("image", a.image).Add("crc32", static_cast<long long>(a.crc32));
      a.serial ? event.Add("serial", static_cast<long long>(*a.serial)) : event.AddNull("serial");
      event.Add("serialState", a.serialState).Add("result", a.result).Add("exit", a.exitStatus);
      a.reportId ? event.Add("reportId", *a.reportId) : event.AddNull("reportId");
      event.Add("reportText", a.reportText);
      a.firstDifference ? event.Add("firstDifference", *a.firstDifference)
                        : event.AddNull("firstDifference");
      console_.Emit(event.Add("seconds", a.seconds));
      std::string report = a.reportText;
      std::replace(report.begin(), report.end(), '\n', ' ');
      console_.Say(a.started + "  " + a.station + "  " + a.port + "  " + a.result +
                   (a.serial ? "  serial " + serial + " " + a.serialState : "") +
                   (report.empty() ? "" : "  " + report));
    }
    if (options_.csv && !WriteFileAtomically(*options_.csv, csv, &error)) {
      console_.Error(std::string(kProgram) + ": cannot write " + *options_.csv + ": " + error);
      return kExitFile;
    }
    Json summary("summary");
    std::string line = std::to_string(attempts->size()) + " attempts:";
    for (const auto& [result, count] : byResult) {
      summary.Add(result, count);
      line += " " + result + " " + std::to_string(count);
    }
    console_.Emit(summary.Add("total", attempts->size()));
    console_.Say(line);
    return kExitOk;
  }

  int Compared(Session& session, Outcome outcome) {
    const std::size_t differences = session.view().differences;
    if (differences > 0) {
      console_.Emit(session.view().Event("differences").Add("count", differences));
      session.view().Say(std::to_string(differences) +
                         (differences == 1 ? " byte differs" : " bytes differ"));
    }
    return session.ExitFor(outcome);
  }

  const Options& options_;
  Console& console_;
  WriterSetup setup_;
  Language language_;
  std::chrono::steady_clock::time_point start_;
  Target target_;                // the model and speed; the first port
  std::vector<Target> targets_;  // one for each port
};

}  // namespace

}  // namespace otp::cli

int main(int argc, char** argv) {
  using namespace otp::cli;
  QCoreApplication application(argc, argv);
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const auto options = ParseOptions(args, error);
  if (!options) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgram, error.c_str(), kProgram);
    return kExitUsage;
  }
  if (options->help) {
    std::fputs(HelpText().c_str(), stdout);
    return kExitOk;
  }
  if (options->version) {
    std::printf("%s %s\n", kProgram, VersionText().c_str());
    if (options->verbose) {
      const otp::WriterSetup setup = SetupFor(*options);
      std::printf("settings file   %s\n", otp::Utf8FromPath(setup.settingsFile()).c_str());
      for (const std::string& folder : setup.monitorDirs())
        std::printf("monitor folder  %s%s\n", folder.c_str(),
                    std::filesystem::is_directory(otp::PathFromUtf8(folder)) ? "" : " (absent)");
    }
    return kExitOk;
  }
  const Console::Mode mode = options->json ? Console::Mode::kJson
                             : isatty(1)   ? Console::Mode::kTerminal
                                           : Console::Mode::kPlain;
  Console console(mode, options->quiet, options->verbose);
  Program program(*options, console);
  return program.Run();
}
