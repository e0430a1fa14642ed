// The production run itself: its parts put together, its keeper thread, its counters and
// state, the end of a round and of the run.

#include <algorithm>
#include <cmath>
#include <tuple>

#include "ops/Production.h"

namespace otp {

using production::HeldBlock;

namespace {

StationLive FirstLive(const RunSetup& setup) {
  StationLive live;
  for (const PortTarget& target : setup.ports)
    live.ports.push_back({target.name, StationLive::Port::State::kIdle, {}, {}});
  return live;
}

}  // namespace

ProductionRun::ProductionRun(RunSetup setup, StoreService& store, Journal& journal,
                             SerialPortFactory& ports, Clock& clock, RunObserver& observer)
    : setup_(std::move(setup)),
      store_(store),
      journal_(journal),
      portFactory_(ports),
      clock_(clock),
      observer_(observer),
      wake_(std::make_shared<production::Wakeup>(clock)),
      numbers_(
          store, clock, wake_,
          [counter = setup_.counter, owner = journal.owner(), station = setup_.station,
           largest = setup_.rule ? LargestNumber(*setup_.rule) : 0](
              RecordStore& s, std::size_t count, StoreError& e) {
            return s.ReserveBlock(counter, count, largest, owner, station, e);
          },
          [counter = setup_.counter, owner = journal.owner()](
              RecordStore& s, const std::vector<std::uint64_t>& numbers, StoreError& e) {
            return s.ReturnNumbers(counter, numbers, owner, SerialState::kReleased, e);
          },
          HeldBlock::Policy{[this] { return BlockTarget(); },
                            [this] {
                              const std::lock_guard lock(mutex_);
                              return blockTime_;
                            },
                            std::max<std::size_t>(2, 2 * setup_.ports.size())}),
      settler_(store, journal, clock, wake_, setup_.language),
      live_(store, clock, journal.owner(), FirstLive(setup_)),
      lastOutcomes_(setup_.ports.size(), UnitOutcome::kPass) {
  EngineOptions options;
  options.language = setup_.language;
  options.retries = setup_.retries;
  options.stop = &stop_;
  for (std::size_t i = 0; i < setup_.ports.size(); ++i) {
    ports_.push_back(std::make_unique<Port>(observer_.ViewFor(i), clock_, options));
    CWriter& writer = ports_.back()->engine.writer();
    writer.spec.Assign(*setup_.ports[i].model);
    writer.m_strModuleDir = setup_.moduleDir;
    writer.monitorDirs = setup_.monitorDirs;
  }
  if (setup_.rule) largest_ = LargestNumber(*setup_.rule);
}

ProductionRun::~ProductionRun() {
  Close();
}

Counters ProductionRun::counters() const {
  const std::lock_guard lock(mutex_);
  Counters counters = counters_;
  if (firstUnit_) {
    counters.seconds = std::chrono::duration<double>(clock_.Now() - *firstUnit_).count();
  }
  return counters;
}

std::vector<UnitOutcome> ProductionRun::LastOutcomes() const {
  const std::lock_guard lock(mutex_);
  return lastOutcomes_;
}

RunState ProductionRun::state() const {
  RunState state;
  const StoreService::State store = store_.state();
  state.storeAway = store.away;
  state.storeError = store.error;
  state.waiting = settler_.Waiting();
  {
    const std::lock_guard lock(mutex_);
    state.lot = lot_;
  }
  if (setup_.rule) {
    state.numbersLeft = numbers_.size();
    state.nextNumber = numbers_.front();
  }
  return state;
}

StationLive ProductionRun::RunLive(const RunState& now) const {
  StationLive live;
  live.away = now.storeAway;
  live.waiting = now.waiting;
  live.numbersLeft = now.numbersLeft;
  if (setup_.rule) {
    live.counter = setup_.counter;
    live.largest = largest_;
  }
  live.job = setup_.job;
  if (now.lot) {
    live.lot = now.lot->name;
    live.quantity = now.lot->quantity;
    live.lotPassed = now.lot->passed;
  }
  return live;
}

void ProductionRun::SetPortLive(std::size_t port, StationLive::Port::State state,
                                std::optional<std::uint64_t> serial,
                                std::optional<UnitOutcome> outcome) {
  if (live_.SetPort(port, state, serial, outcome)) wake_->Nudge();
}

std::size_t ProductionRun::BlockTarget() const {
  if (setup_.blockSize) return std::max<std::size_t>(1, *setup_.blockSize);
  const std::size_t least = std::max<std::size_t>(2, 2 * setup_.ports.size());
  const std::lock_guard lock(mutex_);
  if (unitsTimed_ == 0 || unitSeconds_ <= 0) return least;
  // The station's pace: every port a unit each unitSeconds_.
  const double units = static_cast<double>(blockTime_.count()) / unitSeconds_ *
                       static_cast<double>(setup_.ports.size());
  return std::max(least, static_cast<std::size_t>(std::ceil(units)));
}

std::size_t ProductionRun::PlaceTarget() const {
  const std::size_t least = std::max<std::size_t>(1, setup_.ports.size());
  std::uint64_t needed = 0;
  {
    const std::lock_guard lock(mutex_);
    if (lot_ && lot_->quantity > static_cast<std::uint64_t>(lot_->passed)) {
      needed = lot_->quantity - static_cast<std::uint64_t>(lot_->passed);
    }
  }
  return std::max(least, std::min<std::size_t>(BlockTarget(), (needed + 3) / 4));
}

StartReport ProductionRun::Start() {
  StartReport report = Begin();
  AddStartNotes(report, setup_);
  if (report.problem == StartReport::Problem::kNone && !keeper_.joinable() && !closed_) {
    keeper_ = std::thread([this] { KeepUp(); });
  }
  return report;
}

void ProductionRun::KeepUp() {
  // What the face was last told, as far as it compares.
  using Told = std::tuple<bool, std::string, std::size_t, std::optional<std::size_t>,
                          std::optional<std::uint64_t>, std::optional<int>>;
  std::optional<Told> told;
  std::optional<std::chrono::microseconds> due;
  do {
    // The store went away or came back: a port that waits for numbers, or a unit for its
    // record's answer, looks again.
    numbers_.StoreChanged();
    settler_.StoreChanged();
    settler_.ApplyAnswers();
    due = setup_.rule ? numbers_.TopUp() : std::nullopt;
    if (places_) {
      if (const auto placesDue = places_->TopUp())
        due = due ? std::min(*due, *placesDue) : *placesDue;
      places_->StoreChanged();
    }
    // The other stations' units count too: the lot is counted again now and then.
    if (!setup_.lot.empty() && !store_.state().away) {
      std::optional<std::chrono::microseconds> read;
      {
        const std::lock_guard lock(mutex_);
        read = lotRead_;
      }
      const auto now = clock_.Now();
      if (!read || now - *read >= kLotInterval) {
        RefreshLot(std::chrono::seconds(2));
        read = clock_.Now();
      }
      const auto lotDue = *read + std::chrono::microseconds(kLotInterval);
      due = due ? std::min(*due, lotDue) : lotDue;
    }
    const RunState now = state();
    const Told seen{now.storeAway,  now.storeError,
                    now.waiting,    now.numbersLeft,
                    now.nextNumber, now.lot ? std::optional<int>(now.lot->passed) : std::nullopt};
    if (told != seen) {
      told = seen;
      observer_.OnState(now);
    }
    live_.SetRun(RunLive(now));
    if (const auto liveDue = live_.Post()) due = due ? std::min(*due, *liveDue) : *liveDue;
    // Woken by what it waits for: an answer, a number taken, a port's state, the store
    // going away or coming back, or the moment a share or the live state is due.
  } while (wake_->Wait(due.value_or(kNever)));
}

ProductionRun::End ProductionRun::Finish(int failedUnits) {
  settler_.ApplyAnswers();
  // The lot as the store counts it, this round's units and other stations' alike.
  if (!store_.state().away) RefreshLot(std::chrono::seconds(2));
  End end;
  end.lastUnitsFailed = failedUnits;
  for (const JournalEntry& entry : journal_.Unconfirmed()) {
    if (entry.stage == JournalStage::kEnded) end.waiting.push_back(entry.unit);
  }
  const StoreService::State store = store_.state();
  if (store.away) end.storeError = store.error;
  end.unsaved = settler_.Unsaved();
  end.refused = settler_.TakeRefused();
  std::optional<Lot> lot;
  {
    const std::lock_guard lock(mutex_);
    end.why = why_;
    end.journalError = journalError_;
    lot = lot_;
  }
  if (end.why == End::Why::kDone && lot && lot->Complete()) end.why = End::Why::kLotComplete;
  // What a person hears of the round: the records that went wrong, then why it stopped.
  for (const auto& [unit, reason] : end.refused)
    end.notes.push_back(RefusedNote(unit, reason));
  for (const Attempt& unit : end.unsaved) {
    Note note{NoteId::kRecordUnsaved, {}};
    note.Add("port", unit.port);
    if (unit.serial) note.Add("serial", static_cast<long long>(*unit.serial));
    end.notes.push_back(note.Add("outcome", OutcomeName(unit.outcome)));
  }
  std::string waiting;
  for (const Attempt& a : end.waiting)
    waiting += (waiting.empty() ? "" : ", ") + a.port;
  switch (end.why) {
    case End::Why::kDone:
      break;
    case End::Why::kLotComplete:
      end.notes.push_back(Note{NoteId::kRoundLotComplete, {}}
                              .Add("name", setup_.lot)
                              .Add("passed", static_cast<long long>(lot ? lot->passed : 0))
                              .Add("quantity", static_cast<long long>(lot ? lot->quantity : 0))
                              .Flag("complete", true));
      break;
    case End::Why::kBlockSpent:
      end.notes.push_back(
          Note{NoteId::kBlockSpent, {}}.Add("storeError", end.storeError).Add("waiting", waiting));
      break;
    case End::Why::kPlacesSpent:
      end.notes.push_back(Note{NoteId::kPlacesSpent, {}}
                              .Add("lot", setup_.lot)
                              .Add("storeError", end.storeError)
                              .Add("waiting", waiting));
      break;
    case End::Why::kNumbersExhausted:
      end.notes.push_back(Note{NoteId::kNumbersExhausted, {}}
                              .Add("counter", setup_.counter)
                              .Add("rule", setup_.rule ? setup_.rule->Text() : ""));
      break;
    case End::Why::kJournal:
      end.notes.push_back(Note{NoteId::kJournalStopped, {}}.Add("journalError", end.journalError));
      break;
  }
  return end;
}

ProductionRun::End ProductionRun::RunPorts(const std::function<void(std::size_t)>& unitsOn) {
  settler_.PostPending();
  // A thread a port; meanwhile the keeper writes the store's late answers into the
  // journal and keeps the block and the faces up to date.
  std::vector<std::function<void()>> jobs;
  for (std::size_t i = 0; i < ports_.size(); ++i)
    jobs.push_back([i, &unitsOn] { unitsOn(i); });
  portFactory_.RunOnThreads(jobs, {});
  int failed = 0;
  for (const UnitOutcome outcome : LastOutcomes())
    failed += outcome == UnitOutcome::kPass ? 0 : 1;
  return Finish(failed);
}

void ProductionRun::Close(std::chrono::milliseconds deadline) {
  if (closed_.exchange(true)) return;
  wake_->Close();
  numbers_.Close();
  if (places_) places_->Close();
  settler_.Close();
  if (keeper_.joinable()) keeper_.join();
  store_.OnChange({});
  settler_.ApplyAnswers();
  // The numbers no unit took go back, and the lease is given up: at most `deadline`.
  // When they could not go back, the journal stays: a later start here learns from it
  // that no unit took them.
  const bool placesBack = !places_ || places_->Return(deadline);
  if (!numbers_.Return(deadline) || !placesBack) {
    journal_.Keep();
    return;
  }
  if (journal_.Unconfirmed().empty()) {
    StoreError error;
    const std::string owner = journal_.owner();
    production::Do(
        store_, [owner](RecordStore& s, StoreError& e) { return s.Release(owner, e); }, error,
        deadline);
  }
}

}  // namespace otp
