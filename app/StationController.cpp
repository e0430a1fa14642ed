#include "app/StationController.h"

#include <cstdio>

#include "core/Texts.h"
#include "link/QtSerialPort.h"
#include "ops/FactoryReader.h"
#include "ops/Messages.h"

namespace otp {

namespace {

std::string PhaseText(UnitPhase phase, Language language) {
  switch (phase) {
    case UnitPhase::kDownload:
      return Tr(language, "Download");
    case UnitPhase::kBlankCheck:
      return Tr(language, "Blank Check");
    case UnitPhase::kPlan:
      return Tr(language, "Plan");
    case UnitPhase::kProgram:
      return Tr(language, "Program");
    case UnitPhase::kCompare:
      return Tr(language, "Compare");
    case UnitPhase::kRead:
      return Tr(language, "Read");
  }
  return {};
}

ui::BlockMark MarkOf(BlockClass c) {
  switch (c) {
    case BlockClass::kSkip:
      return ui::BlockMark::kSkip;
    case BlockClass::kWrite:
      return ui::BlockMark::kWrite;
    case BlockClass::kDone:
      return ui::BlockMark::kDone;
    case BlockClass::kCompletable:
      return ui::BlockMark::kCompletable;
    case BlockClass::kConflict:
      return ui::BlockMark::kConflict;
  }
  return ui::BlockMark::kUnknown;
}

}  // namespace

// The figures as the last reading found them, shared with the readings that may outlive
// the controller.
struct StationController::FiguresState {
  std::mutex mutex;
  StationFigures figures;
  bool reading = false;  // a reading is on its way
  bool again = false;    // one more was asked meanwhile
  std::function<void()> changed;
};

// A port's engine shows its progress on the port's tile: the bar, and each block of the
// map as it is written and compared.
class StationController::TileView final : public EngineView {
 public:
  TileView(StationController& controller, std::size_t port)
      : controller_(controller), port_(port) {}
  void SetStatus(const std::string&) override {}
  void SetStatusIcon(unsigned) override {}
  void SetButtonText(const std::string&) override {}
  void SetRange(int lower, int upper) override {
    low_ = lower;
    controller_.Change(port_, [&](ui::TileState& tile) {
      tile.total = upper - lower;
      tile.done = 0;
    });
  }
  void SetStep(int step) override { step_ = step; }
  void SetPos(int pos) override { Moved(pos - low_, false); }
  void StepIt() override { Moved(done_ + step_, true); }
  int CheckCancelButton() override { return 0; }  // the run's Stop reaches the engine
  void OnDifference(std::uint32_t address, std::uint8_t device, std::uint8_t image) override {
    if (difference_) return;
    difference_ = true;
    const std::string line = DifferenceText(address, device, image, controller_.setup_.language);
    controller_.Change(port_, [&](ui::TileState& tile) { tile.difference = line; });
  }
  void NewUnit() {
    difference_ = false;
    done_ = 0;
  }
  UnitPhase phase = UnitPhase::kDownload;

 private:
  // `stepped`: the block at the old position was just handled.
  void Moved(int done, bool stepped) {
    const int block = done_;
    done_ = done;
    controller_.Change(port_, [&](ui::TileState& tile) {
      tile.done = done;
      if (!stepped || tile.total != 64 || block < 0 || block >= 64) return;
      ui::BlockMark& mark = tile.blocks[static_cast<std::size_t>(block)];
      const bool data = mark == ui::BlockMark::kWrite || mark == ui::BlockMark::kCompletable ||
                        mark == ui::BlockMark::kDone || mark == ui::BlockMark::kWritten;
      if (phase == UnitPhase::kProgram &&
          (mark == ui::BlockMark::kWrite || mark == ui::BlockMark::kCompletable)) {
        mark = ui::BlockMark::kWritten;
      } else if (phase == UnitPhase::kCompare && data) {
        mark = ui::BlockMark::kCompared;
      }
    });
  }

  StationController& controller_;
  std::size_t port_;
  int low_ = 0;
  int step_ = 1;
  int done_ = 0;
  bool difference_ = false;
};

StationController::StationController(RunSetup setup, Station::Options where, Callbacks callbacks,
                                     SerialPortFactory* ports)
    : setup_(std::move(setup)),
      where_(std::move(where)),
      callbacks_(std::move(callbacks)),
      ports_(ports),
      figuresStore_(where_.opener),
      figures_(std::make_shared<FiguresState>()),
      opened_(IsoTime(std::chrono::system_clock::now())) {
  if (!ports_) {
    ownPorts_ = std::make_unique<QtSerialPortFactory>();
    ports_ = ownPorts_.get();
  }
  figures_->changed = [this] {
    if (callbacks_.figuresChanged) callbacks_.figuresChanged();
  };
  worker_.moveToThread(&thread_);
  thread_.start();
}

StationController::~StationController() {
  Stop();
  {
    const std::lock_guard lock(figures_->mutex);
    figures_->changed = nullptr;
  }
  // The station ends on the thread that ran it, and gives the store a second at most.
  QMetaObject::invokeMethod(
      &worker_,
      [this] {
        // Closed outside the lock: its keeper may tell the state once more as it ends.
        std::unique_ptr<Station> station;
        {
          const std::lock_guard lock(mutex_);
          station = std::move(station_);
        }
        if (station) station->Close();
      },
      Qt::BlockingQueuedConnection);
  figuresStore_.Close(std::chrono::milliseconds(500));
  thread_.quit();
  thread_.wait();
}

template <typename F>
void StationController::Change(std::size_t port, F change) {
  {
    const std::lock_guard lock(mutex_);
    if (port >= tiles_.size()) return;
    change(tiles_[port]);
    if (port < unitStart_.size() && tiles_[port].look == ui::TileState::Look::kWorking) {
      tiles_[port].seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - unitStart_[port])
              .count();
    }
  }
  if (callbacks_.tileChanged) callbacks_.tileChanged(port);
}

void StationController::Open() {
  QMetaObject::invokeMethod(&worker_, [this] {
    StoreError error;
    bool open = figuresStore_.Open(error, ProductionRun::kStoreWait);
    // A job bound to another store is refused as the window opens, not at its first unit.
    if (open && !where_.boundStore.empty()) {
      auto identity = std::make_shared<std::string>();
      auto location = std::make_shared<std::string>();
      open = figuresStore_.Call(
                 [identity, location](RecordStore& s, StoreError&) {
                   *identity = s.Identity();
                   *location = s.Location();
                 },
                 ProductionRun::kStoreWait, error) == StoreService::Answer::kDone;
      const std::string wrong = open ? WrongStoreText(setup_.job, where_.boundStore, *location,
                                                      *identity, setup_.language)
                                     : std::string();
      if (!wrong.empty()) {
        if (callbacks_.opened) callbacks_.opened(wrong);
        return;
      }
    }
    if (callbacks_.opened) {
      callbacks_.opened(open                 ? std::string()
                        : error.text.empty() ? Tr(setup_.language, "the store does not answer")
                                             : error.text);
    }
    if (open) RequestFigures();
  });
}

void StationController::RequestFigures() {
  {
    const std::lock_guard lock(figures_->mutex);
    if (figures_->reading) {
      figures_->again = true;
      return;
    }
    figures_->reading = true;
  }
  // Today begins at the station's local midnight.
  const std::string today = TodayAndHour(std::chrono::system_clock::now()).first;
  const std::string station = setup_.station;
  const std::string job = setup_.job;
  const std::string counter = setup_.rule ? setup_.counter : std::string();
  const std::uint64_t largest = setup_.rule ? LargestNumber(*setup_.rule) : 0;
  const std::string since = opened_;
  const std::weak_ptr<FiguresState> weak = figures_;
  auto read = [today, station, job, counter, largest, since, weak](RecordStore& store,
                                                                   StoreError& error) {
    StationFigures read;
    AttemptFilter mine;
    mine.since = today;
    mine.station = station;
    mine.job = job;
    if (const auto figures = store.Figures(mine, error)) {
      read.today = figures->counts;
    }
    if (error.unavailable()) return;
    AttemptFilter last;
    last.last = 20;
    if (const auto attempts = store.Attempts(last, error)) read.last = *attempts;
    if (error.unavailable()) return;
    if (!counter.empty()) {
      Counter found;
      bool exists = false;
      if (store.ReadCounter(counter, found, exists, error) && exists) read.counter = found;
      if (error.unavailable()) return;
      read.next = store.NextNumber(counter, largest, error);
      if (error.unavailable()) return;
    }
    AttemptFilter run;
    run.since = since;
    run.station = station;
    if (const auto figures = store.Figures(run, error)) read.report = *figures;
    if (error.unavailable()) return;
    if (const auto state = weak.lock()) {
      const std::lock_guard lock(state->mutex);
      const Counters counters = state->figures.run;
      state->figures = read;
      state->figures.run = counters;
    }
  };
  figuresStore_.Post(read, [this, weak](const StoreError&) {
    const auto state = weak.lock();
    if (!state) return;
    std::function<void()> changed;
    bool again = false;
    {
      const std::lock_guard lock(state->mutex);
      state->reading = false;
      again = state->again;
      state->again = false;
      changed = state->changed;
    }
    if (changed) changed();
    // Asked meanwhile: once more (the controller lives while `changed` is set).
    if (again && changed) RequestFigures();
  });
}

std::string StationController::storeLocation() const {
  return ProductionStore::Printable(where_.store);
}

void StationController::Begin() {
  busy_ = true;
  // The operator's Start undoes an earlier Stop, here and only here: a Stop asked after
  // this holds even before the run begins.
  const std::lock_guard lock(mutex_);
  stopAsked_ = false;
  if (station_) station_->Resume();
}

void StationController::Round(std::vector<PortTarget> ports) {
  Begin();
  QMetaObject::invokeMethod(&worker_, [this, ports] { Run(ports, false); });
}

void StationController::AutoRun(std::vector<PortTarget> ports) {
  Begin();
  QMetaObject::invokeMethod(&worker_, [this, ports] { Run(ports, true); });
}

void StationController::Stop() {
  stopAsked_ = true;
  const std::lock_guard lock(mutex_);
  if (station_) station_->Stop();
}

void StationController::Run(std::vector<PortTarget> ports, bool autoStart) {
  const StartReport* first = nullptr;
  if (!station_) {
    {
      const std::lock_guard lock(mutex_);
      tiles_.clear();
      views_.clear();
      for (std::size_t i = 0; i < ports.size(); ++i) {
        ui::TileState tile;
        tile.port = ports[i].name;
        tile.device = ports[i].device;
        tile.state = Tr(setup_.language, "Press Start");
        tiles_.push_back(tile);
        views_.push_back(std::make_unique<TileView>(*this, i));
      }
      unitStart_.assign(ports.size(), std::chrono::steady_clock::now());
    }
    setup_.ports = ports;
    auto station = std::make_unique<Station>(setup_, where_, *ports_, clock_, *this);
    start_ = station->Open();
    first = &*start_;
    if (start_->problem != StartReport::Problem::kNone) {
      station->Close();
      busy_ = false;
      ProductionRun::End failed;
      if (callbacks_.ended) callbacks_.ended(failed, first);
      return;
    }
    {
      const std::lock_guard lock(mutex_);
      station_ = std::move(station);
      runState_ = station_->state();
    }
    if (stopAsked_) station_->Stop();
  }
  const ProductionRun::End end = autoStart ? station_->AutoRun() : station_->Round();
  {
    const std::lock_guard lock(mutex_);
    runState_ = station_->state();  // the lot as the store counted it at the round's end
  }
  if (end.why == ProductionRun::End::Why::kLotComplete) {
    // Ports that waited for the lot's last places take no board now.
    for (std::size_t port = 0; port < setup_.ports.size(); ++port) {
      Change(port, [&](ui::TileState& tile) {
        if (tile.look != ui::TileState::Look::kWaiting) return;
        tile.state = Tr(setup_.language, "the lot %1 is complete: no more boards", {setup_.lot});
      });
    }
  }
  {
    const std::lock_guard lock(figures_->mutex);
    figures_->figures.run = station_->counters();
  }
  RequestFigures();
  busy_ = false;
  if (callbacks_.figuresChanged) callbacks_.figuresChanged();
  if (callbacks_.ended) callbacks_.ended(end, first);
}

ui::TileState StationController::Tile(std::size_t port) const {
  const std::lock_guard lock(mutex_);
  return port < tiles_.size() ? tiles_[port] : ui::TileState{};
}

StationFigures StationController::Figures() const {
  const std::lock_guard lock(figures_->mutex);
  return figures_->figures;
}

RunState StationController::state() const {
  const std::lock_guard lock(mutex_);
  return runState_;
}

std::optional<Counter> StationController::counter() const {
  const std::lock_guard lock(figures_->mutex);
  return figures_->figures.counter
             ? figures_->figures.counter
             : (start_ && setup_.rule ? std::optional<Counter>(start_->counter) : std::nullopt);
}

EngineView& StationController::ViewFor(std::size_t port) {
  const std::lock_guard lock(mutex_);
  return *views_[port];
}

void StationController::OnLotComplete(std::size_t port) {
  Change(port, [&](ui::TileState& tile) {
    ui::TileState waiting;
    waiting.port = tile.port;
    waiting.device = tile.device;
    tile = waiting;
    tile.state = Tr(setup_.language, "the lot %1 is complete: no more boards", {setup_.lot});
  });
}

void StationController::OnNoPlace(std::size_t port, const Lot& lot) {
  Change(port, [&](ui::TileState& tile) {
    ui::TileState waiting;
    waiting.port = tile.port;
    waiting.device = tile.device;
    tile = waiting;
    tile.state = Tr(setup_.language, "the last units of the lot %1 are burning (%2 of %3 passed)",
                    {lot.name, std::to_string(lot.passed), std::to_string(lot.quantity)});
  });
}

void StationController::OnUnitStart(std::size_t port) {
  {
    const std::lock_guard lock(mutex_);
    unitStart_[port] = std::chrono::steady_clock::now();
    views_[port]->NewUnit();
  }
  Change(port, [&](ui::TileState& tile) {
    tile.look = ui::TileState::Look::kWorking;
    tile.outcome.reset();
    tile.state = Tr(setup_.language, "Download");
    tile.instruction.clear();
    tile.serial.reset();
    tile.serialState.clear();
    tile.done = tile.total = 0;
    tile.blocks.assign(64, ui::BlockMark::kUnknown);
    tile.report.clear();
    tile.difference.clear();
    tile.seconds = 0;
  });
}

void StationController::OnPhase(std::size_t port, UnitPhase phase) {
  {
    const std::lock_guard lock(mutex_);
    views_[port]->phase = phase;
  }
  Change(port, [&](ui::TileState& tile) {
    tile.state = PhaseText(phase, setup_.language);
    tile.done = 0;
  });
}

void StationController::OnPlan(std::size_t port, const BurnPlan& plan) {
  Change(port, [&](ui::TileState& tile) {
    for (std::size_t i = 0; i < plan.blocks.size() && i < tile.blocks.size(); ++i)
      tile.blocks[i] = MarkOf(plan.blocks[i]);
  });
}

void StationController::OnNumber(std::size_t port, std::uint64_t number) {
  Change(port, [&](ui::TileState& tile) { tile.serial = number; });
}

void StationController::OnLooking(std::size_t port) {
  Change(port, [&](ui::TileState& tile) {
    // The last outcome stays until the operator takes the board out: the next board is
    // asked for under it.
    if (tile.look == ui::TileState::Look::kWorking) tile.look = ui::TileState::Look::kWaiting;
    if (tile.look == ui::TileState::Look::kWaiting) {
      tile.state = Tr(setup_.language, "Put the next board in");
    }
  });
}

void StationController::OnPortProblem(std::size_t port, const std::string& reason) {
  Change(port, [&](ui::TileState& tile) {
    tile.look = ui::TileState::Look::kEnded;
    tile.outcome = UnitOutcome::kPortProblem;
    tile.state = OutcomeWord(UnitOutcome::kPortProblem, setup_.language);
    tile.instruction = OutcomeInstruction(UnitOutcome::kPortProblem, setup_.language);
    tile.report = Tr(setup_.language, "cannot open %1: %2; looking again", {tile.device, reason});
  });
}

void StationController::OnBoard(std::size_t port) {
  Change(port, [&](ui::TileState& tile) {
    tile.look = ui::TileState::Look::kWorking;
    tile.state = Tr(setup_.language, "Download");
  });
}

void StationController::OnUnitEnd(std::size_t port, const UnitEnd& end) {
  const Attempt& a = end.record;
  const Language language = setup_.language;
  Change(port, [&](ui::TileState& tile) {
    tile.look = ui::TileState::Look::kEnded;
    tile.outcome = a.outcome;
    tile.state = OutcomeWord(a.outcome, language);
    tile.instruction = OutcomeInstruction(a.outcome, language);
    tile.serial = a.serial;
    tile.serialState = end.place == RecordPlace::kStored
                           ? (a.serialState ? SerialStateName(*a.serialState) : "")
                       : end.place == RecordPlace::kJournal ? Tr(language, "waits in the journal")
                       : end.place == RecordPlace::kRefused ? Tr(language, "refused by the store")
                       : end.place == RecordPlace::kNowhere ? Tr(language, "NOT RECORDED")
                                                            : std::string();
    tile.report = a.outcome == UnitOutcome::kPass ? std::string() : a.reportText;
    // The reason names the first difference already.
    if (!tile.difference.empty() && tile.report.find(tile.difference) != std::string::npos)
      tile.difference.clear();
    tile.seconds = a.seconds;
    // What the engine has to say of the unit, as it words it.
    for (const Note& note : end.notes)
      tile.report += (tile.report.empty() ? "" : "\n") + NoteText(note, language);
  });
  {
    const std::lock_guard lock(figures_->mutex);
    figures_->figures.run = end.counters;
  }
  if (callbacks_.figuresChanged) callbacks_.figuresChanged();
  RequestFigures();
}

void StationController::OnState(const RunState& state) {
  {
    const std::lock_guard lock(mutex_);
    runState_ = state;
  }
  if (callbacks_.stateChanged) callbacks_.stateChanged();
}

}  // namespace otp
