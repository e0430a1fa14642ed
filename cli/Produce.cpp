// produce: the production station on a terminal, one Enter a round or each board as it
// is put in; the run itself is the engine's.

#include <QString>
#include <QSysInfo>
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <thread>

#include "cli/Commands.h"
#include "cli/Interrupt.h"
#include "cli/PortFace.h"
#include "cli/Produce.h"
#include "core/Texts.h"
#include "core/Utf8Path.h"
#include "link/QtSerialPort.h"
#include "ops/Messages.h"
#include "ops/Production.h"

#ifndef _WIN32
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace otp::cli {

namespace {

// The terminal's face of a production run: a view a port, a banner a unit, the counters.
class ProduceFace final : public RunObserver {
 public:
  ProduceFace(Context& context, bool autoStart) : context_(context), autoStart_(autoStart) {
    const auto& targets = context.targets();
    gang_ = targets.size() > 1;
    for (std::size_t i = 0; i < targets.size(); ++i) {
      views_.push_back(std::make_unique<CliView>(context.console, context.options, context.language,
                                                 gang_ ? static_cast<int>(i) : -1,
                                                 targets[i].name));
    }
  }

  EngineView& ViewFor(std::size_t port) override { return *views_[port]; }
  CliView& View(std::size_t port) { return *views_[port]; }

  void OnPhase(std::size_t port, UnitPhase phase) override {
    views_[port]->SetPhase(PhaseName(phase), context_.baud());
  }
  void OnNumber(std::size_t port, std::uint64_t number) override {
    if (context_.console.verbose()) {
      views_[port]->Say(context_.T("serial %1 reserved", {std::to_string(number)}));
    }
  }
  void OnLooking(std::size_t port) override {
    context_.console.Emit(views_[port]->Event("waiting"));
    views_[port]->Say(context_.T("Put the next board in"));
  }
  void OnPortProblem(std::size_t port, const std::string& reason) override {
    views_[port]->Error(
        std::string(kProgram) + ": " +
        context_.T("cannot open %1: %2; looking again", {context_.targets()[port].device, reason}));
  }
  void OnBoard(std::size_t port) override {
    context_.console.Emit(views_[port]->Event("board"));
    views_[port]->Say(context_.T("a board answered: burning it"));
  }
  void OnUnitEnd(std::size_t port, const UnitEnd& end) override {
    QtSerialPortFactory ports;  // the reason a port could not be opened, on this thread
    ExplainDownload(context_, *views_[port], ports, context_.targets()[port], end.result);
    if (autoStart_) {
      Show(port, end);
      return;
    }
    const std::lock_guard lock(mutex_);
    ended_.emplace_back(port, end);
  }

  /// A round's units, in port order, once the round ended.
  void ShowRound() {
    std::vector<std::pair<std::size_t, UnitEnd>> ended;
    {
      const std::lock_guard lock(mutex_);
      ended.swap(ended_);
    }
    std::sort(ended.begin(), ended.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    if (gang_) context_.console.EndProgress();
    for (const auto& [port, end] : ended)
      Show(port, end);
  }

 private:
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
        std::getenv("NO_COLOR") == nullptr && context_.console.mode() == Console::Mode::kTerminal
            ? (pass ? "\033[1;42;30m" : "\033[1;41;37m")
            : nullptr;
    context_.console.Say(colour ? std::string(colour) + line + "\033[0m" : line);
  }

  void Show(std::size_t port, const UnitEnd& end) {
    const Attempt& a = end.record;
    CliView& view = *views_[port];
    Json unit = view.Event("unit");
    if (end.result.noNumber) {
      // Nothing was sent to this part: the store gave no number.
      view.Error(std::string(kProgram) + ": " +
                 context_.T("no serial number for this unit: nothing burned"));
      context_.console.Emit(unit.Add("result", "none").Add("exit", kExitFile).AddNull("serial"));
      return;
    }
    const bool pass = a.result == "pass";
    // Where the unit's record is now: the store, the journal, or nowhere but here.
    const std::string state = end.stored      ? a.serialState
                              : end.journaled ? context_.T("waits in the journal")
                                              : context_.T("NOT RECORDED");
    std::string text = gang_ ? context_.targets()[port].name + "  " : std::string();
    if (a.serial) {
      text += context_.T("serial %1", {std::to_string(*a.serial)});
      if (!pass || !end.stored) text += " (" + state + ")";
    } else {
      text += context_.T("unit %1", {std::to_string(end.counters.total())});
    }
    Banner(pass, text);
    if (!pass && !a.reportText.empty()) view.Say(a.reportText);
    if (!end.stored && !end.journaled) {
      view.Error(std::string(kProgram) + ": " +
                 context_.T("neither the journal (%1) nor the store (%2) holds this unit: "
                            "it is tried again with the next one; note it down",
                            {end.journalError, end.storeError}));
    } else if (end.stored && !end.journaled) {
      view.Error(std::string(kProgram) + ": " +
                 context_.T("the journal could not be written (%1): the unit went to the "
                            "store directly",
                            {end.journalError}));
    }
    unit.Add("result", a.result).Add("exit", Context::ExitStatusOf(end.result.verdict));
    a.serial ? unit.Add("serial", static_cast<long long>(*a.serial)) : unit.AddNull("serial");
    if (a.serial) {
      unit.Add("serialState", end.stored ? a.serialState : end.journaled ? "journal" : "unsaved");
    }
    unit.Add("stored", end.stored).Add("journaled", end.journaled);
    context_.console.Emit(unit.Add("passed", end.counters.passed)
                              .Add("failed", end.counters.failed)
                              .Add("seconds", a.seconds));
    if (autoStart_) ShowCounters(end.counters);
  }

 public:
  void ShowCounters(const Counters& counters) {
    char perHour[32];
    std::snprintf(perHour, sizeof(perHour), "%.0f", counters.UnitsPerHour());
    context_.console.Say(
        context_.T("passed %1  failed %2  total %3  %4 units/hour",
                   {std::to_string(counters.passed), std::to_string(counters.failed),
                    std::to_string(counters.total()), perHour}));
  }

 private:
  Context& context_;
  bool autoStart_;
  bool gang_ = false;
  std::vector<std::unique_ptr<CliView>> views_;
  std::mutex mutex_;
  std::vector<std::pair<std::size_t, UnitEnd>> ended_;
};

// What a start found and did, said before the first unit.
int ShowStart(Context& context, const ProductionStore& store, const RunSetup& setup,
              const StartReport& start) {
  for (const Attempt& a : start.replayed) {
    const std::string number = a.serial ? std::to_string(*a.serial) : "-";
    Json event("replayed");
    event.Add("port", a.port).Add("started", a.started).Add("result", a.result);
    a.serial ? event.Add("serial", static_cast<long long>(*a.serial)) : event.AddNull("serial");
    context.console.Emit(event.Add("serialState", a.serialState));
    if (a.result == "interrupted") {
      context.console.Say(
          context.T("a unit on %1 (serial %2) stopped with its station: "
                    "recorded as interrupted, its number %3",
                    {a.port, number, a.serialState}));
    } else {
      context.console.Say(
          context.T("a unit on %1 (serial %2) waited in the journal: "
                    "recorded as %3",
                    {a.port, number, a.result}));
    }
  }
  for (const Journal::Skipped& item : start.skipped) {
    context.console.Emit(Json("skipped").Add("file", Utf8FromPath(item.file)));
    context.console.Error(std::string(kProgram) + ": " +
                          Printable(SkippedJournalText(item, context.language)));
  }
  for (const StartReport::SetAside& item : start.setAside) {
    context.console.Emit(Json("setAside")
                             .Add("file", Utf8FromPath(item.file))
                             .Add("aside", Utf8FromPath(item.aside))
                             .Add("units", item.units)
                             .Add("reason", item.reason));
    context.console.Error(std::string(kProgram) + ": " +
                          Printable(SetAsideText(item.aside.empty() ? item.file : item.aside,
                                                 item.units, context.language)) +
                          " (" + Printable(item.reason) + ")");
  }
  const Counter& counter = start.counter;
  const std::string next = std::to_string(counter.next);
  const std::string step = std::to_string(counter.step);
  switch (start.problem) {
    case StartReport::Problem::kNone:
      break;
    case StartReport::Problem::kStore:
    case StartReport::Problem::kJournal:
      return context.Fail(kExitFile, context.T("the production store: %1", {start.detail}));
    case StartReport::Problem::kCounterStart:
      return context.Fail(
          kExitFile,
          context.T("the counter %1 exists and began at %2: its next number is "
                    "%3, its step %4 (leave out --serial-start, or name "
                    "another --counter)",
                    {counter.name, std::to_string(counter.start.value_or(0)), next, step}));
    case StartReport::Problem::kCounterStep:
      return context.Fail(kExitFile,
                          context.T("the counter %1 exists with step %2: its next number is %3 "
                                    "(leave out --serial-step, or name another --counter)",
                                    {counter.name, step, next}));
    case StartReport::Problem::kSerialRule:
      return context.Fail(kExitFile, start.detail);
    case StartReport::Problem::kCounterFull:
      return context.Fail(kExitFile, context.T("the counter %1 has no number left that fits %2",
                                               {counter.name, setup.rule->Text()}));
  }
  if (store.Created()) {
    context.console.Say(context.T("a new production store: %1", {store.Location()}));
  }
  if (setup.rule && start.newCounter) {
    context.console.Say(
        context.T("a new counter %1: from %2 in steps of %3", {counter.name, next, step}));
  }
  return kExitOk;
}

}  // namespace

int RunProduction(Context& context, RunSetup setup, bool once) {
  const Options& o = context.options;
  auto store = context.OpenStore(ProductionStore::Access::kWrite);
  if (!store) return kExitFile;
  std::string error;
  const auto journal = Journal::Open(context.JournalFolder(), Journal::NewOwner(), error);
  if (!journal) {
    return context.Fail(kExitFile, context.T("the journal of the production store: %1", {error}));
  }
  const bool autoStart = o.autoStart && !once;
  ProduceFace face(context, autoStart);
  QtSerialPortFactory ports;
  SystemClock clock;
  ProductionRun run(setup, *store, *journal, ports, clock, face);
  const StartReport start = run.Start();
  if (const int status = ShowStart(context, *store, setup, start); status != kExitOk) {
    return status;
  }
  // What this run burns, where, and where it is recorded.
  std::string names;
  for (const PortTarget& target : context.targets())
    names += (names.empty() ? "" : ", ") + target.name +
             (target.device == target.name ? "" : " (" + target.device + ")");
  const std::string crc = "0x" + Hex(setup.crc32, 8);
  context.console.Say(context.T("%1 (CRC-32 %2), %3 at %4 bit/s on %5",
                                {setup.imageName, crc, std::string(context.model().model),
                                 std::to_string(context.baud()), names}));
  if (!setup.job.empty()) {
    context.console.Say(context.T("job %1, checksum %2", {setup.job, setup.jobSum}));
  }
  context.console.Say(
      (setup.rule
           ? context.T("serial numbers: %1, counter %2, next %3 in steps of %4",
                       {setup.rule->Text(), setup.counter, std::to_string(start.counter.next),
                        std::to_string(start.counter.step)})
           : context.T("serial numbers: none")) +
      "; " + context.T("station %1; records in %2", {setup.station, store->Location()}));
  for (std::size_t i = 0; i < context.targets().size(); ++i) {
    context.console.Emit(StartEvent(context, face.View(i), context.targets()[i])
                             .Add("crc32", static_cast<long long>(setup.crc32)));
  }
  InstallInterruptHandler();
  // Several ports: each line names its port, each port has a progress line of its own.
  const bool gang = context.targets().size() > 1;
  std::vector<std::string> labels;
  for (const PortTarget& target : context.targets())
    labels.push_back(target.name);
  ProductionRun::End end;
  if (autoStart) {
    if (gang) context.console.SetSlots(labels);
    // Ctrl-C stops every port: those that only look at once, those that burn between
    // blocks.
    std::thread watch([&run] {
      while (!Interrupted() && !run.stopped())
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      run.Stop();
    });
    end = run.AutoRun();
    run.Stop();
    watch.join();
    if (gang) context.console.DropSlots();  // the ports' last bars say nothing now
  } else {
    while (!Interrupted()) {
      if (!once) {
        context.Prompt(gang ? context.T("Enter: burn the next units; q and Enter: end") + " > "
                            : context.T("Enter: burn the next unit; q and Enter: end") + " > ");
        if (!context.console.json()) std::printf("\n");
        if (!Context::ReadAnswer()) break;
      }
      if (gang) context.console.SetSlots(labels);
      end = run.Round();
      face.ShowRound();
      face.ShowCounters(run.counters());
      if (end.storeFailed || once) break;
    }
  }
  for (const auto& [a, why] : end.refused) {
    context.console.Error(
        std::string(kProgram) + ": " +
        context.T("the store refused the unit on %1 (serial %2, %3): %4; it is kept in the "
                  "journal folder %5",
                  {a.port, a.serial ? std::to_string(*a.serial) : "-", a.result, Printable(why),
                   Utf8FromPath(context.JournalFolder())}));
  }
  for (const Attempt& a : end.unsaved) {
    context.console.Error(
        std::string(kProgram) + ": " +
        context.T("NOT RECORDED: the unit on %1 (serial %2, %3) is held by "
                  "neither the journal nor the store; note it down",
                  {a.port, a.serial ? std::to_string(*a.serial) : "-", a.result}));
  }
  if (end.storeFailed) {
    context.Fail(kExitFile,
                 end.numbersExhausted
                     ? context.T("the counter %1 has no number left that fits %2: nothing "
                                 "burned",
                                 {setup.counter, setup.rule ? setup.rule->Text() : ""})
                     : context.T("the production store: %1", {end.storeError}));
    for (const Attempt& a : end.waiting) {
      context.console.Error(std::string(kProgram) + ": " +
                            context.T("the unit on %1 (serial %2, %3) waits in the journal %4",
                                      {a.port, a.serial ? std::to_string(*a.serial) : "-", a.result,
                                       Utf8FromPath(context.JournalFolder())}));
    }
    return kExitFile;
  }
  if (!once) {
    const Counters counters = run.counters();
    context.console.Say(context.T("end: passed %1  failed %2  total %3",
                                  {std::to_string(counters.passed), std::to_string(counters.failed),
                                   std::to_string(counters.total())}));
  }
  // The status of the first port, in command-line order, whose last unit failed.
  for (const UnitVerdict verdict : run.LastVerdicts()) {
    if (verdict != UnitVerdict::kPass) return Context::ExitStatusOf(verdict);
  }
  return kExitOk;
}

int RunJobUnit(Context& context) {
  RunSetup setup = CommonSetup(context);
  if (const int status = LoadJob(context, setup); status != kExitOk) return status;
  return RunProduction(context, std::move(setup), true);
}

int RunProduce(Context& context) {
  const Options& o = context.options;
  RunSetup setup = CommonSetup(context);
  if (o.job) {
    if (const int status = LoadJob(context, setup); status != kExitOk) return status;
    return RunProduction(context, std::move(setup), false);
  }
  const auto loaded = context.LoadImage(o.arguments.front(), true);
  if (!loaded) return kExitFile;
  setup.imageName = loaded->file;
  setup.image = loaded->image;
  setup.crc32 = loaded->crc32;
  if (o.serial) {
    std::string error;
    setup.rule = context.SerialRuleOf(*o.serial, error);
    if (!setup.rule) return context.Fail(kExitUsage, error);
    const std::string why = context.PlacementMessage(*setup.rule, setup.image);
    if (!why.empty()) return context.Fail(kExitFile, why);
    if (o.serialStart && *o.serialStart > LargestNumber(*setup.rule)) {
      return context.Fail(kExitFile,
                          context.T("--serial-start %1 does not fit %2",
                                    {std::to_string(*o.serialStart), setup.rule->Text()}));
    }
  }
  setup.counter = o.counter.value_or("serial");
  setup.serialStart = o.serialStart;
  setup.serialStep = o.serialStep;
  setup.resume = o.resume;
  return RunProduction(context, std::move(setup), false);
}

RunSetup CommonSetup(const Context& context) {
  const Options& o = context.options;
  RunSetup setup;
  setup.ports = context.targets();
  setup.station = o.station.value_or(QSysInfo::machineHostName().toStdString());
  setup.retries = o.retries;
  setup.language = context.language;
  setup.moduleDir = context.setup.moduleDir();
  setup.monitorDirs = context.setup.monitorDirs();
  // With --reset dtr the Enter resets the board; with prompt the prompt is the Enter.
  setup.reset = o.reset && o.reset->kind == ResetMethod::Kind::kDtr
                    ? *o.reset
                    : ResetMethod{ResetMethod::Kind::kNone, {}};
  return setup;
}

}  // namespace otp::cli
