#include "app/StationController.h"

#include <QDateTime>
#include <cstdio>

#include "core/Texts.h"
#include "link/QtSerialPort.h"

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
    char text[96];
    std::snprintf(text, sizeof(text), "%04XH: %02X / %02X", static_cast<unsigned>(address), device,
                  image);
    const std::string line =
        Tr(controller_.setup_.language, "first difference %1", {std::string(text)});
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

StationController::StationController(RunSetup setup, std::string storeLocation,
                                     std::string journalFolder, SerialPortFactory* ports)
    : setup_(std::move(setup)),
      location_(std::move(storeLocation)),
      journalFolder_(std::move(journalFolder)),
      ports_(ports),
      opened_(QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toStdString()) {
  if (!ports_) {
    ownPorts_ = std::make_unique<QtSerialPortFactory>();
    ports_ = ownPorts_.get();
  }
  worker_.moveToThread(&thread_);
  thread_.start();
}

StationController::~StationController() {
  Stop();
  // The store belongs to the thread that opened it: it is closed there.
  QMetaObject::invokeMethod(
      &worker_,
      [this] {
        run_.reset();
        journal_.reset();
        store_.reset();
      },
      Qt::BlockingQueuedConnection);
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
  if (tileChanged) tileChanged(port);
}

void StationController::Open() {
  QMetaObject::invokeMethod(&worker_, [this] {
    ProductionStore::Options options;
    const std::filesystem::path journals = journalFolder_;
    options.ownerAlive = [journals](const std::string& owner) {
      return Journal::Alive(journals, owner);
    };
    StoreError storeError;
    store_ = ProductionStore::Open(location_, storeError, options);
    std::string error = storeError.text;
    if (store_) {
      journal_ = Journal::Open(journalFolder_, Journal::NewOwner(), error);
      if (!journal_) store_.reset();
    }
    if (store_) ReadFigures(*store_);
    if (opened) opened(error);
    if (store_ && figuresChanged) figuresChanged();
  });
}

std::string StationController::storeLocation() const {
  return ProductionStore::Printable(location_);
}

void StationController::Round(std::vector<PortTarget> ports) {
  Begin();
  QMetaObject::invokeMethod(&worker_, [this, ports] { Run(ports, false); });
}

void StationController::AutoRun(std::vector<PortTarget> ports) {
  Begin();
  QMetaObject::invokeMethod(&worker_, [this, ports] { Run(ports, true); });
}

void StationController::Begin() {
  busy_ = true;
  // The operator's Start undoes an earlier Stop, here and only here: a Stop asked after
  // this holds even before the run begins.
  const std::lock_guard lock(mutex_);
  stopAsked_ = false;
  if (run_) run_->ClearStop();
}

void StationController::Stop() {
  stopAsked_ = true;
  const std::lock_guard lock(mutex_);
  if (run_) run_->Stop();
}

void StationController::Run(std::vector<PortTarget> ports, bool autoStart) {
  const StartReport* first = nullptr;
  if (!run_) {
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
    auto run = std::make_unique<ProductionRun>(setup_, *store_, *journal_, *ports_, clock_, *this);
    start_ = run->Start();
    first = &*start_;
    {
      const std::lock_guard lock(mutex_);
      if (start_->problem == StartReport::Problem::kNone) {
        run_ = std::move(run);
        if (setup_.rule) counter_ = start_->counter;
      }
    }
    if (!run_) {
      busy_ = false;
      ProductionRun::End failed;
      failed.storeFailed = true;
      failed.storeError = start_->detail;
      if (ended) ended(failed, first);
      return;
    }
    if (stopAsked_) run_->Stop();
  }
  const ProductionRun::End end = autoStart ? run_->AutoRun() : run_->Round();
  ReadFigures(*store_);
  busy_ = false;
  if (figuresChanged) figuresChanged();
  if (ended) ended(end, first);
}

void StationController::ReadFigures(RecordStore& store) {
  StoreError error;
  AttemptFilter today;
  today.since =
      QDateTime(QDate::currentDate(), QTime(0, 0)).toUTC().toString(Qt::ISODate).toStdString();
  const auto attempts = store.Attempts(today, error);
  AttemptFilter last;
  last.last = 20;
  const auto recent = store.Attempts(last, error);
  Counter counter;
  bool found = false;
  const bool counted = setup_.rule && store.ReadCounter(setup_.counter, counter, found, error);
  AttemptFilter run;
  run.since = opened_;
  run.station = setup_.station;
  const auto report = store.Figures(run, error);
  const std::lock_guard lock(mutex_);
  if (run_) figures_.run = run_->counters();
  if (attempts) {
    figures_.todayPassed = figures_.todayFailed = 0;
    for (const Attempt& a : *attempts)
      (a.result == "pass" ? figures_.todayPassed : figures_.todayFailed) += 1;
  }
  if (recent) figures_.last = *recent;
  if (counted && found) counter_ = counter;
  if (report) figures_.report = *report;
}

ui::TileState StationController::Tile(std::size_t port) const {
  const std::lock_guard lock(mutex_);
  return port < tiles_.size() ? tiles_[port] : ui::TileState{};
}

StationFigures StationController::Figures() const {
  const std::lock_guard lock(mutex_);
  return figures_;
}

std::optional<Counter> StationController::counter() const {
  const std::lock_guard lock(mutex_);
  return counter_;
}

EngineView& StationController::ViewFor(std::size_t port) {
  const std::lock_guard lock(mutex_);
  return *views_[port];
}

void StationController::OnUnitStart(std::size_t port) {
  {
    const std::lock_guard lock(mutex_);
    unitStart_[port] = std::chrono::steady_clock::now();
    views_[port]->NewUnit();
  }
  Change(port, [&](ui::TileState& tile) {
    tile.look = ui::TileState::Look::kWorking;
    tile.state = Tr(setup_.language, "Download");
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
    if (tile.look == ui::TileState::Look::kWorking) tile.look = ui::TileState::Look::kWaiting;
    if (tile.look == ui::TileState::Look::kWaiting) {
      tile.state = Tr(setup_.language, "Put the next board in");
    }
  });
}

void StationController::OnPortProblem(std::size_t port, const std::string& reason) {
  Change(port, [&](ui::TileState& tile) {
    tile.look = ui::TileState::Look::kWaiting;
    tile.state = Tr(setup_.language, "cannot open %1: %2; looking again", {tile.device, reason});
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
  Change(port, [&](ui::TileState& tile) {
    if (end.result.noNumber) {
      tile.look = ui::TileState::Look::kFail;
      tile.state = "FAIL";
      tile.report = Tr(setup_.language, "no serial number for this unit: nothing burned");
      return;
    }
    const bool pass = a.result == "pass";
    tile.look = pass ? ui::TileState::Look::kPass : ui::TileState::Look::kFail;
    tile.state = pass ? "PASS" : "FAIL";
    tile.serial = a.serial;
    tile.serialState = end.stored      ? a.serialState
                       : end.journaled ? Tr(setup_.language, "waits in the journal")
                                       : Tr(setup_.language, "NOT RECORDED");
    tile.report = pass ? std::string() : a.reportText;
    tile.seconds = a.seconds;
    if (!end.stored) {
      tile.report += (tile.report.empty() ? "" : "\n") +
                     (end.journaled ? Tr(setup_.language, "not recorded: it waits in the journal")
                                    : Tr(setup_.language,
                                         "NOT RECORDED: neither the journal nor the store holds "
                                         "it; note it down"));
    }
  });
}

void StationController::AfterSettle(RecordStore& store) {
  ReadFigures(store);
  if (figuresChanged) figuresChanged();
}

}  // namespace otp
