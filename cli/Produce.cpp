// produce: the production station on a terminal, one Enter a round or each board as it
// is put in; the station itself is the engine's.

#include <algorithm>
#include <cstdio>
#include <map>
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
#include "ops/Station.h"

#ifndef _WIN32
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace otp::cli {

namespace {

// The colour of each outcome's banner: the field, then the letters.
const char* ColourOf(UnitOutcome outcome) {
  switch (outcome) {
    case UnitOutcome::kPass:
      return "\033[1;42;30m";  // green
    case UnitOutcome::kFail:
      return "\033[1;41;37m";  // red
    case UnitOutcome::kStopped:
      return "\033[1;44;37m";  // blue
    case UnitOutcome::kAlreadyProgrammed:
      return "\033[1;46;30m";  // teal
    case UnitOutcome::kWrongPart:
      return "\033[1;45;37m";  // magenta for orange, which terminals lack
    case UnitOutcome::kBoardGone:
    case UnitOutcome::kPortProblem:
      return "\033[1;43;30m";  // amber
  }
  return "";
}

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
    last_.resize(targets.size());
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
  void OnNoPlace(std::size_t port, const Lot& lot) override {
    context_.console.Emit(views_[port]
                              ->Event("noPlace")
                              .Add("lot", lot.name)
                              .Add("passed", lot.passed)
                              .Add("quantity", static_cast<long long>(lot.quantity)));
    views_[port]->Say(context_.T(
        "the last units of the lot %1 are burning (%2 of %3 passed): no board on this port",
        {lot.name, std::to_string(lot.passed), std::to_string(lot.quantity)}));
  }
  void OnBoard(std::size_t port) override {
    context_.console.Emit(views_[port]->Event("board"));
    views_[port]->Say(context_.T("a board answered: burning it"));
  }
  void OnUnitEnd(std::size_t port, const UnitEnd& end) override {
    ExplainDownload(context_, *views_[port], context_.targets()[port], end.result);
    {
      const std::lock_guard lock(mutex_);
      last_[port] = end.result.verdict;
    }
    if (autoStart_) {
      Show(port, end);
      return;
    }
    const std::lock_guard lock(mutex_);
    ended_.emplace_back(port, end);
  }
  // The store going away and coming back is said once each time, with what waits.
  void OnState(const RunState& state) override {
    const std::lock_guard lock(mutex_);
    if (state.storeAway == away_) return;
    away_ = state.storeAway;
    Json event("store");
    event.Add("away", state.storeAway).Add("waiting", state.waiting);
    state.numbersLeft ? event.Add("numbersLeft", *state.numbersLeft) : event.AddNull("numbersLeft");
    context_.console.Emit(event);
    if (state.storeAway) {
      const std::string left = state.numbersLeft ? std::to_string(*state.numbersLeft) : "-";
      context_.console.Error(
          std::string(kProgram) + ": " +
          context_.T("store away (%1): the units go on, %2 records waiting, %3 numbers left in "
                     "the block",
                     {state.storeError, std::to_string(state.waiting), left}));
    } else {
      context_.console.Error(std::string(kProgram) + ": " +
                             context_.T("the store answers again: the records that waited go "
                                        "to it"));
    }
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

  /// The verdict of each port's last unit, for the exit status.
  std::vector<std::optional<UnitVerdict>> LastVerdicts() {
    const std::lock_guard lock(mutex_);
    return last_;
  }

  void ShowCounters(const Counters& counters, const std::optional<Lot>& lot) {
    const auto perHour = counters.UnitsPerHour();
    std::string line =
        context_.T("passed %1  failed %2  total %3  yield %4 %",
                   {std::to_string(counters.passed()), std::to_string(counters.failed()),
                    std::to_string(counters.total()), Decimal(counters.Yield(), 1)});
    if (perHour) line += "  " + context_.T("%1 units/hour", {Decimal(*perHour, 0)});
    if (lot && lot->quantity > 0) {
      line += "  " + context_.T("lot %1: %2 of %3", {lot->name, std::to_string(lot->passed),
                                                     std::to_string(lot->quantity)});
    }
    context_.console.Say(line);
  }

 private:
  // One line across the terminal, in the outcome's colour where the terminal has it.
  void Banner(UnitOutcome outcome, const std::string& text) {
    int width = 72;
#ifndef _WIN32
    winsize size{};
    if (isatty(1) && ::ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_col > 20) width = size.ws_col;
#endif
    std::string line = OutcomeWord(outcome, context_.language) + "  " + text;
    const std::string fill(
        static_cast<std::size_t>(std::max(0, width - static_cast<int>(Columns(line)) - 2)) / 2,
        '=');
    line = fill + " " + line + " " + fill;
    const bool colour =
        std::getenv("NO_COLOR") == nullptr && context_.console.mode() == Console::Mode::kTerminal;
    context_.console.Say(colour ? std::string(ColourOf(outcome)) + line + "\033[0m" : line);
  }

  void Show(std::size_t port, const UnitEnd& end) {
    const Attempt& a = end.record;
    CliView& view = *views_[port];
    Json unit = view.Event("unit");
    // Where the unit's record is now: the store, the journal, or nowhere but here.
    const std::string state =
        end.place == RecordPlace::kStored ? (a.serialState ? SerialStateName(*a.serialState) : "")
        : end.place == RecordPlace::kJournal ? context_.T("waits in the journal")
        : end.place == RecordPlace::kRefused ? context_.T("refused by the store")
                                             : context_.T("NOT RECORDED");
    std::string text = gang_ ? context_.targets()[port].name + "  " : std::string();
    if (a.serial) {
      text += context_.T("serial %1", {std::to_string(*a.serial)});
      if (a.outcome != UnitOutcome::kPass || end.place != RecordPlace::kStored) {
        text += " (" + state + ")";
      }
    } else {
      text += context_.T("unit %1", {std::to_string(end.counters.total())});
    }
    text += ": " + OutcomeInstruction(a.outcome, context_.language);
    Banner(a.outcome, text);
    if (a.outcome != UnitOutcome::kPass && !a.reportText.empty()) view.Say(a.reportText);
    for (const Note& note : end.notes)
      view.Error(std::string(kProgram) + ": " + NoteText(note, context_.language));
    unit.Add("result", a.ResultName()).Add("outcome", OutcomeName(a.outcome));
    unit.Add("exit", Context::ExitStatusOf(end.result.verdict));
    a.serial ? unit.Add("serial", static_cast<long long>(*a.serial)) : unit.AddNull("serial");
    if (a.serial) {
      unit.Add("serialState", end.place == RecordPlace::kStored
                                  ? (a.serialState ? SerialStateName(*a.serialState) : "")
                              : end.place == RecordPlace::kJournal ? "journal"
                              : end.place == RecordPlace::kRefused ? "refused"
                                                                   : "unsaved");
    }
    unit.Add("record", RecordPlaceName(end.place));
    unit.Add("stored", end.place == RecordPlace::kStored)
        .Add("journaled",
             end.place == RecordPlace::kJournal ||
                 (end.place == RecordPlace::kStored && !HasNote(end, NoteId::kJournalWriteFailed)));
    for (const Note& note : end.notes)
      unit.Add("note", NoteKey(note.id));
    if (!a.lot.empty()) unit.Add("lot", a.lot);
    context_.console.Emit(unit.Add("passed", end.counters.passed())
                              .Add("failed", end.counters.failed())
                              .Add("seconds", a.seconds));
    if (autoStart_) ShowCounters(end.counters, std::nullopt);
  }

  static bool HasNote(const UnitEnd& end, NoteId id) {
    for (const Note& note : end.notes) {
      if (note.id == id) return true;
    }
    return false;
  }

  Context& context_;
  bool autoStart_;
  bool gang_ = false;
  std::vector<std::unique_ptr<CliView>> views_;
  std::mutex mutex_;
  std::vector<std::pair<std::size_t, UnitEnd>> ended_;
  std::vector<std::optional<UnitVerdict>> last_;
  bool away_ = false;
};

}  // namespace

// One note of the engine: its event for scripts, its words for a person (in passing on
// standard output, a warning or a problem on the error stream).
void ShowNote(Context& context, const Note& note) {
  Json event(NoteKey(note.id));
  for (const NoteArg& arg : note.args) {
    if (arg.flag) {
      event.Add(arg.name, arg.number.value_or(0) != 0);
    } else if (arg.number) {
      event.Add(arg.name, *arg.number);
    } else {
      event.Add(arg.name, arg.text);
    }
  }
  context.console.Emit(event);
  const std::string text = Printable(NoteText(note, context.language));
  if (WeightOf(note.id) == NoteWeight::kInfo) {
    context.console.Say(text);
  } else {
    context.console.Error(std::string(kProgram) + ": " + text);
  }
}

namespace {

// What a start found and did, said before the first unit; the exit status of a start that
// cannot go on.
int ShowStart(Context& context, const StartReport& start) {
  for (const Note& note : start.notes) {
    if (WeightOf(note.id) == NoteWeight::kProblem) {
      return context.Fail(kExitFile, Printable(NoteText(note, context.language)));
    }
    ShowNote(context, note);
  }
  return kExitOk;
}

}  // namespace

int RunProduction(Context& context, const PreparedStation& prepared, bool once) {
  const Options& o = context.options;
  const RunSetup& setup = prepared.setup;
  const bool autoStart = o.autoStart && !once;
  ProduceFace face(context, autoStart);
  QtSerialPortFactory ports;
  SystemClock clock;
  const Station::Options where = StationOptionsFor(context.StoreLocation(), context.setup.dataDir(),
                                                   prepared.job ? prepared.job->store : "");
  if (!o.db) {
    // The user's own store: its folder is made on first use.
    std::error_code ec;
    std::filesystem::create_directories(PathFromUtf8(context.setup.dataDir()), ec);
  }
  Station station(setup, where, ports, clock, face);
  const StartReport start = station.Open();
  if (const int status = ShowStart(context, start); status != kExitOk) return status;
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
  const RunState state = station.state();
  std::string numbers = context.T("serial numbers: none");
  if (setup.rule) {
    numbers = context.T("serial numbers: %1, counter %2, next %3 in steps of %4",
                        {setup.rule->Text(), setup.counter,
                         state.nextNumber ? std::to_string(*state.nextNumber) : "-",
                         std::to_string(start.counter.step)});
  }
  context.console.Say(
      numbers + "; " +
      context.T("station %1; records in %2", {setup.station, station.storeLocation()}));
  if (start.lot && start.lot->quantity > 0) {
    context.console.Say(context.T(
        "lot %1: %2 of %3 passed",
        {start.lot->name, std::to_string(start.lot->passed), std::to_string(start.lot->quantity)}));
  }
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
    std::thread watch([&station] {
      while (!Interrupted() && !station.stopped())
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      station.Stop();
    });
    end = station.AutoRun();
    station.Stop();
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
      end = station.Round();
      face.ShowRound();
      face.ShowCounters(station.counters(), station.state().lot);
      if (end.stopsTheStation() || once) break;
    }
  }
  // What the round's end says: records refused or unsaved, why the station stops.
  int status = kExitOk;
  for (const Note& note : end.notes) {
    if (WeightOf(note.id) == NoteWeight::kProblem && status == kExitOk) {
      status = context.Fail(kExitFile, Printable(NoteText(note, context.language)));
    } else {
      ShowNote(context, note);
    }
  }
  // The run's counters are read before it is closed: closing ends the run.
  const Counters counters = station.counters();
  // What the store has not taken yet waits in the journal: the next start records it.
  for (const Note& note : station.Close())
    ShowNote(context, note);
  if (!once) {
    context.console.Say(
        context.T("end: passed %1  failed %2  total %3",
                  {std::to_string(counters.passed()), std::to_string(counters.failed()),
                   std::to_string(counters.total())}));
  }
  if (status != kExitOk) return status;
  if (!once) return Context::ExitStatusOf(RunVerdict(counters.units, counters.interrupted));
  // One round: the status of the first port, in command-line order, whose unit did not
  // pass.
  for (const auto& verdict : face.LastVerdicts()) {
    if (verdict && *verdict != UnitVerdict::kPass) return Context::ExitStatusOf(*verdict);
  }
  return kExitOk;
}

namespace {

// The operator's choices for a station, from the command line.
StationChoices ChoicesOf(const Context& context) {
  const Options& o = context.options;
  StationChoices choices;
  choices.ports = context.targets();
  choices.jobFile = o.job.value_or("");
  if (!o.job && !o.arguments.empty()) choices.imageFile = o.arguments.front();
  choices.binaryBase = o.base;
  choices.serial = o.serial.value_or("");
  choices.counter = o.counter.value_or("");
  choices.serialStart = o.serialStart;
  choices.serialStep = o.serialStep;
  choices.resume = o.resume;
  // With --reset dtr the Enter resets the board; with prompt the prompt is the Enter.
  choices.reset = o.reset && o.reset->kind == ResetMethod::Kind::kDtr
                      ? *o.reset
                      : ResetMethod{ResetMethod::Kind::kNone, {}};
  choices.reading = o.reading;
  choices.station = o.station.value_or("");
  choices.lot = o.lot.value_or("");
  choices.quantity = o.quantity;
  if (o.blockMinutes) choices.blockTime = std::chrono::minutes(*o.blockMinutes);
  choices.retries = o.retries;
  choices.language = context.language;
  choices.moduleDir = context.setup.moduleDir();
  choices.monitorDirs = context.setup.monitorDirs();
  return choices;
}

// Prepares the station; with a job that asks for it, the operator types its checksum
// first. The exit status.
int Prepare(Context& context, PreparedStation& prepared) {
  prepared = PrepareStation(ChoicesOf(context));
  switch (prepared.problem) {
    case PreparedStation::Problem::kNone:
      break;
    case PreparedStation::Problem::kUsage:
      return context.Fail(kExitUsage, prepared.message);
    case PreparedStation::Problem::kFile:
      return context.Fail(kExitFile, prepared.message);
  }
  if (prepared.job) {
    const Job& job = *prepared.job;
    context.UseModel(*job.model, job.rate);
    for (std::size_t i = 0; i < prepared.setup.ports.size(); ++i)
      prepared.setup.ports[i] = context.targets()[i];
    if (job.confirm) {
      // As the work order shows it: a wrong entry starts nothing.
      context.Prompt(
          context.T("Job %1: type its checksum as the work order shows it > ", {job.name}));
      std::string typed;
      char c = 0;
      while (::read(0, &c, 1) == 1 && c != '\n')
        typed += c;
      if (!ConfirmsJob(job, typed)) {
        return context.Fail(kExitFile,
                            context.T("%1 is not the checksum of the job %2: nothing burned",
                                      {Printable(typed), job.name}));
      }
    }
  }
  return kExitOk;
}

}  // namespace

int RunJobUnit(Context& context) {
  PreparedStation prepared;
  if (const int status = Prepare(context, prepared); status != kExitOk) return status;
  return RunProduction(context, prepared, true);
}

int RunProduce(Context& context) {
  PreparedStation prepared;
  if (const int status = Prepare(context, prepared); status != kExitOk) return status;
  return RunProduction(context, prepared, false);
}

}  // namespace otp::cli
