// Driving the ports: a unit on a port (its number, its journal lines, its end), rounds
// in port order, and auto start's looks for a board.

#include <algorithm>

#include "ops/Production.h"

namespace otp {

Note RefusedNote(const Attempt& unit, const std::string& reason) {
  Note note{NoteId::kRecordRefused, {}};
  note.Add("port", unit.port);
  if (unit.serial) note.Add("serial", static_cast<long long>(*unit.serial));
  return note.Add("outcome", OutcomeName(unit.outcome)).Add("reason", reason);
}

namespace {

// The unit's hooks: its phases reach the face; its number and what the journal must hold
// before the part is touched come from the run.
class RunHooks final : public UnitHooks {
 public:
  RunHooks(std::size_t port, RunObserver& observer, std::atomic<bool>& stop)
      : port_(port), observer_(observer), stop_(stop) {}
  void OnPhase(UnitPhase phase) override { observer_.OnPhase(port_, phase); }
  void OnPlan(const BurnPlan& plan) override { observer_.OnPlan(port_, plan); }
  std::optional<std::uint64_t> TakeNumber() override { return takeNumber(); }
  void NoNumber() override {
    if (noNumber) noNumber();
  }
  bool BeforeProgramming() override { return beforeProgramming(); }
  bool Stopped() override { return stop_.load(); }

  std::function<std::optional<std::uint64_t>()> takeNumber;
  std::function<void()> noNumber;
  std::function<bool()> beforeProgramming;

 private:
  std::size_t port_;
  RunObserver& observer_;
  std::atomic<bool>& stop_;
};

}  // namespace

bool ProductionRun::MayGoOn() const {
  if (stop_ || closed_) return false;
  const std::lock_guard lock(mutex_);
  if (why_ != End::Why::kDone) return false;
  return !(lot_ && lot_->Complete());
}

bool ProductionRun::RefreshLot(std::chrono::milliseconds wait) {
  if (setup_.lot.empty()) return true;
  StoreError error;
  const std::string name = setup_.lot;
  const auto lot = production::Ask<Lot>(
      store_,
      [name](RecordStore& s, StoreError& e) -> std::optional<Lot> {
        Lot read;
        bool found = false;
        if (!s.ReadLot(name, read, found, e) || !found) return std::nullopt;
        return read;
      },
      error, wait);
  if (!lot) return false;
  bool changed = false;
  {
    const std::lock_guard lock(mutex_);
    changed = !lot_ || lot_->passed != lot->passed || lot_->held != lot->held ||
              lot_->unknown != lot->unknown;
    lot_ = lot;
    lotRead_ = clock_.Now();
  }
  if (changed) wake_->Nudge();  // the face hears of the count
  return true;
}

ProductionRun::Turn ProductionRun::TakeTurn(std::size_t port, std::chrono::milliseconds wait) {
  if (!places_) return {true, std::nullopt};
  if (const auto place = places_->Take(wait)) return {true, place};
  // No place in the block: the store says whether the lot is complete, or whether its
  // last places are held by other stations' units, which may give some back.
  if (store_.state().away) {
    const std::lock_guard lock(mutex_);
    if (why_ == End::Why::kDone) why_ = End::Why::kPlacesSpent;
    return {};
  }
  RefreshLot(kStoreWait);
  std::optional<Lot> lot;
  {
    const std::lock_guard lock(mutex_);
    lot = lot_;
  }
  if (lot && lot->Complete()) {
    observer_.OnLotComplete(port);
  } else if (lot) {
    observer_.OnNoPlace(port, *lot);
  }
  return {};
}

void ProductionRun::GiveBack(const Turn& turn) {
  if (places_ && turn.place) places_->PutBack(*turn.place);
}

Attempt ProductionRun::NewUnit(std::size_t port) {
  Attempt unit;
  {
    const std::lock_guard lock(mutex_);
    unit.unitId = journal_.owner() + "-" + std::to_string(++unitSequence_);
    if (!firstUnit_) firstUnit_ = clock_.Now();
  }
  const PortTarget& target = setup_.ports[port];
  unit.started = IsoNow(clock_);
  unit.station = setup_.station;
  unit.port = target.name;
  unit.device = target.device;
  unit.model = std::string(target.model->model);
  unit.clock = std::string(target.model->speeds[static_cast<std::size_t>(target.rate)]);
  unit.image = setup_.imageName;
  unit.crc32 = setup_.crc32;
  unit.job = setup_.job;
  unit.jobSum = setup_.jobSum;
  unit.lot = setup_.lot;
  unit.reading = setup_.reading;
  if (setup_.rule) unit.counter = setup_.counter;
  return unit;
}

std::optional<std::uint64_t> ProductionRun::TakeNumber(Attempt& unit) {
  const std::optional<std::uint64_t> number = numbers_.Take(kStoreWait);
  if (!number) {
    // No number: the station stops between units, and says why.
    const bool exhausted = numbers_.exhausted();
    const std::lock_guard lock(mutex_);
    if (why_ == End::Why::kDone) {
      why_ = exhausted ? End::Why::kNumbersExhausted : End::Why::kBlockSpent;
    }
    return std::nullopt;
  }
  unit.serial = number;
  std::string error;
  // On the disk before the part is touched: a number a unit took is never given again.
  if (!journal_.Write(JournalStage::kReserved, unit, error)) {
    numbers_.PutBack(*number);
    unit.serial.reset();
    const std::lock_guard lock(mutex_);
    why_ = End::Why::kJournal;
    journalError_ = error;
    return std::nullopt;
  }
  numbers_.TopUp();
  wake_->Nudge();
  return number;
}

void ProductionRun::RunPortUnit(std::size_t port, PortOrder* order, bool found, Turn turn) {
  // A lot takes no more units than it has places for.
  if (!turn.go) {
    if (order) order->Pass(port);
    SetPortLive(port, StationLive::Port::State::kIdle, std::nullopt, std::nullopt);
    return;
  }
  SetPortLive(port, StationLive::Port::State::kWorking, std::nullopt, std::nullopt);
  Engine& engine = ports_[port]->engine;
  observer_.OnUnitStart(port);
  UnitEnd end;
  Attempt& unit = end.record;
  unit = NewUnit(port);
  unit.lotPlace = turn.place;
  std::string journalError;
  const bool journaled = journal_.Write(JournalStage::kBegun, unit, journalError);

  RunHooks hooks(port, observer_, stop_);
  hooks.takeNumber = [&]() -> std::optional<std::uint64_t> {
    if (order) order->WaitTurn(port);
    const auto number = TakeNumber(unit);
    if (order) order->Done(port);
    if (number) {
      SetPortLive(port, StationLive::Port::State::kWorking, number, std::nullopt);
      observer_.OnNumber(port, *number);
    }
    return number;
  };
  hooks.noNumber = [&] {
    if (order) order->Pass(port);
  };
  hooks.beforeProgramming = [&] {
    std::string error;
    return journal_.Write(JournalStage::kProgramming, unit, error);
  };

  UnitRequest request;
  request.image = &setup_.image;
  request.rule = setup_.rule ? &*setup_.rule : nullptr;
  request.resume = setup_.resume;
  request.reading = setup_.reading;
  request.refuseComplete = true;  // a unit is a part burned now
  const ResetMethod reset = found ? ResetMethod{ResetMethod::Kind::kFound, {}} : setup_.reset;
  if (journaled) {
    end.result = RunUnit(engine, portFactory_, setup_.ports[port], reset, request, hooks);
  } else {
    // Nothing is burned without the journal: the station stops and says why.
    if (request.rule && order) order->Pass(port);
    end.result.noNumber = true;
    end.result.verdict = UnitVerdict::kFileFailed;
    end.result.findings.failure = journalError;
    const std::lock_guard lock(mutex_);
    why_ = End::Why::kJournal;
    journalError_ = journalError;
  }
  const UnitResult& r = end.result;
  if (r.noNumber) {
    // Nothing was sent to the part: there is nothing to record but why.
    if (journaled) {
      std::string error;
      journal_.Write(JournalStage::kConfirmed, unit, error);
    }
    GiveBack(turn);
    // The same outcome everywhere: the part is as it was, and can be used again.
    unit.outcome = UnitOutcome::kStopped;
    unit.verdict = r.verdict;
    end.notes.push_back(Note{NoteId::kNoNumber, {}});
    {
      const std::lock_guard lock(mutex_);
      end.counters = counters_;
    }
    SetPortLive(port, StationLive::Port::State::kIdle, std::nullopt, std::nullopt);
    observer_.OnUnitEnd(port, end);
    return;
  }
  unit.ended = IsoNow(clock_);
  unit.outcome = OutcomeOf(r);
  unit.verdict = r.verdict;
  if (unit.serial) {
    // A number whose part received nothing goes back; one that may be on a part never.
    unit.serialState =
        unit.outcome == UnitOutcome::kPass
            ? SerialState::kUsed
            : (r.programBlocksSent > 0 ? SerialState::kSpoiled : SerialState::kReleased);
  }
  unit.reportId = r.findings.failureId;
  unit.reportText =
      unit.outcome == UnitOutcome::kPass ? std::string() : FailureText(r, setup_.language);
  unit.firstDifference = r.findings.firstDifference;
  unit.failedBlock = r.failedBlock;
  unit.wrote = r.programBlocksSent > 0;
  unit.seconds = r.seconds;
  // A unit that did not pass leaves its place to the next board; one that passed took it
  // for good, with its record.
  if (unit.outcome != UnitOutcome::kPass) GiveBack(turn);
  {
    const std::lock_guard lock(mutex_);
    counters_.units.Add(unit.outcome, unit.wrote);  // a port problem is no unit of the total
    if (unit.verdict == UnitVerdict::kInterrupted) ++counters_.interrupted;
    lastOutcomes_[port] = unit.outcome;
    if (unit.outcome == UnitOutcome::kPass || unit.outcome == UnitOutcome::kFail) {
      // The station's pace, for the numbers it holds ahead.
      ++unitsTimed_;
      unitSeconds_ += (r.seconds - unitSeconds_) / std::min(unitsTimed_, 20);
    }
  }
  const production::RecordSettler::Settled settled = settler_.Settle(unit);
  end.place = settled.place;
  if (settled.place == RecordPlace::kNowhere) {
    end.notes.push_back(Note{NoteId::kNotRecorded, {}}
                            .Add("journalError", settled.journalError)
                            .Add("storeError", settled.storeError));
  } else if (!settled.journaled) {
    end.notes.push_back(
        Note{NoteId::kJournalWriteFailed, {}}.Add("journalError", settled.journalError));
  }
  end.counters = counters();
  wake_->Nudge();
  observer_.OnUnitEnd(port, end);
  SetPortLive(port, StationLive::Port::State::kEnded, unit.serial, unit.outcome);
}

ProductionRun::End ProductionRun::Round() {
  {
    const std::lock_guard lock(mutex_);
    // What stopped the last round for want of numbers is looked at again.
    if (why_ == End::Why::kBlockSpent) why_ = End::Why::kDone;
  }
  // A Stop asked before the round began holds: no unit starts.
  if (!MayGoOn()) return Finish(0);
  PortOrder order(ports_.size());
  // The lot's last places go to the first ports, whichever port's thread runs first.
  std::vector<Turn> turns;
  for (std::size_t port = 0; port < ports_.size(); ++port)
    turns.push_back(TakeTurn(port, kStoreWait));
  return RunPorts(
      [this, &order, &turns](std::size_t port) { RunPortUnit(port, &order, false, turns[port]); });
}

bool ProductionRun::LookForBoard(std::size_t port) {
  CWriter& writer = ports_[port]->engine.writer();
  const PortTarget& target = setup_.ports[port];
  bool told = false;
  bool problemTold = false;
  while (MayGoOn()) {
    const auto next = clock_.Now() + kLookInterval;
    if (!writer.link.IsOpen()) {
      auto opened = portFactory_.Open(target.device);
      if (opened && opened->Configure(writer.spec.BaudFor(target.rate).value_or(0)) ==
                        SerialPort::ConfigResult::kOk) {
        writer.link.Adopt(std::move(opened));
        problemTold = false;
      } else if (!problemTold) {
        observer_.OnPortProblem(
            port, opened ? std::string("its settings are refused") : portFactory_.LastOpenError());
        problemTold = true;
      }
    }
    if (!told) {
      SetPortLive(port, StationLive::Port::State::kWaiting, std::nullopt, std::nullopt);
      observer_.OnLooking(port);
      told = true;
    }
    if (writer.link.IsOpen() && writer.link.LookForBoard(kLookAnswer) == SyncResult::kAnswered) {
      observer_.OnBoard(port);
      return true;
    }
    // One sleep until the next look: Stop ends a port that only looks within it.
    const auto now = clock_.Now();
    if (!stop_ && now < next) clock_.Sleep(next - now);
  }
  writer.link.Close();
  return false;
}

ProductionRun::End ProductionRun::AutoRun() {
  {
    const std::lock_guard lock(mutex_);
    if (why_ == End::Why::kBlockSpent) why_ = End::Why::kDone;
  }
  if (!MayGoOn()) return Finish(0);
  return RunPorts([this](std::size_t port) {
    while (MayGoOn()) {
      // The port holds its place before it asks for a board: it never asks for a board
      // that the lot has no place for.
      const Turn turn = TakeTurn(port, kStoreWait);
      if (!turn.go) {
        // Its last places are burning elsewhere: one of them may come back.
        const auto until = clock_.Now() + kLotInterval;
        while (MayGoOn() && clock_.Now() < until)
          clock_.Sleep(kLookInterval);
        continue;
      }
      if (!LookForBoard(port)) {
        GiveBack(turn);
        break;
      }
      RunPortUnit(port, nullptr, true, turn);
    }
  });
}

}  // namespace otp
