// The start of a production run: the lease, what stopped stations left, the counter and
// the lot checked (or made), the first numbers taken.

#include "core/Utf8Path.h"
#include "ops/Host.h"
#include "ops/Messages.h"
#include "ops/Production.h"
#include "ops/job/Job.h"
#include "ops/production/Leftovers.h"

namespace otp {

using production::Ask;
using production::Do;

void AddStartNotes(StartReport& report, const RunSetup& setup) {
  std::vector<Note>& notes = report.notes;
  for (const Journal::Skipped& item : report.skipped) {
    const char* why = item.why == Journal::Skipped::Why::kNotAFile   ? "not-a-file"
                      : item.why == Journal::Skipped::Why::kTooLarge ? "too-large"
                                                                     : "unreadable";
    notes.push_back(
        Note{NoteId::kJournalSkipped, {}}.Add("file", Utf8FromPath(item.file)).Add("why", why));
  }
  for (const StartReport::SetAside& item : report.setAside) {
    notes.push_back(Note{NoteId::kJournalSetAside, {}}
                        .Add("file", Utf8FromPath(item.file))
                        .Add("aside", Utf8FromPath(item.aside))
                        .Add("units", static_cast<long long>(item.units))
                        .Add("reason", item.reason));
  }
  for (const StartReport::Damaged& item : report.damaged) {
    std::string numbers;
    for (const std::uint64_t number : item.spoiled)
      numbers += (numbers.empty() ? "" : ",") + std::to_string(number);
    notes.push_back(Note{NoteId::kJournalDamaged, {}}
                        .Add("file", Utf8FromPath(item.file))
                        .Add("aside", Utf8FromPath(item.aside))
                        .Add("line", static_cast<long long>(item.damage.line))
                        .Add("why", static_cast<long long>(item.damage.why.why))
                        .Add("field", item.damage.why.field)
                        .Add("format", static_cast<long long>(item.damage.why.format))
                        .Add("spoiled", static_cast<long long>(item.spoiled.size()))
                        .Add("numbers", numbers));
  }
  for (const Attempt& a : report.replayed) {
    const NoteId id = a.guess                                  ? NoteId::kUnitGuessed
                      : a.verdict == UnitVerdict::kInterrupted ? NoteId::kUnitStopped
                                                               : NoteId::kUnitReplayed;
    Note note{id, {}};
    note.Add("port", a.port).Add("started", a.started).Add("result", a.ResultName());
    note.Add("outcome", OutcomeName(a.outcome)).Flag("guess", a.guess).Add("station", a.station);
    if (a.serial) note.Add("serial", static_cast<long long>(*a.serial));
    notes.push_back(note.Add("serialState", a.serialState ? SerialStateName(*a.serialState) : "-"));
  }
  const Counter& counter = report.counter;
  const auto next = static_cast<long long>(counter.next);
  const auto step = static_cast<long long>(counter.step);
  switch (report.problem) {
    case StartReport::Problem::kNone:
      break;
    case StartReport::Problem::kStore:
      notes.push_back(Note{NoteId::kStoreFailed, {}}.Add("detail", report.detail));
      return;
    case StartReport::Problem::kJournal:
      notes.push_back(Note{NoteId::kJournalFailed, {}}.Add("detail", report.detail));
      return;
    case StartReport::Problem::kSerialRule:
      notes.push_back(Note{NoteId::kSerialRule, {}}.Add("detail", report.detail));
      return;
    case StartReport::Problem::kLotComplete:
      notes.push_back(
          Note{NoteId::kLotComplete, {}}
              .Add("lot", setup.lot)
              .Add("passed", static_cast<long long>(report.lot ? report.lot->passed : 0))
              .Add("quantity", static_cast<long long>(report.lot ? report.lot->quantity : 0)));
      return;
    case StartReport::Problem::kCounterStart:
      notes.push_back(Note{NoteId::kCounterStart, {}}
                          .Add("counter", counter.name)
                          .Add("start", static_cast<long long>(counter.start.value_or(0)))
                          .Add("next", next)
                          .Add("step", step));
      return;
    case StartReport::Problem::kCounterStep:
      notes.push_back(Note{NoteId::kCounterStep, {}}
                          .Add("counter", counter.name)
                          .Add("step", step)
                          .Add("next", next));
      return;
    case StartReport::Problem::kCounterFull:
      notes.push_back(Note{NoteId::kCounterFull, {}}
                          .Add("counter", setup.counter)
                          .Add("rule", setup.rule ? setup.rule->Text() : ""));
      return;
  }
  if (report.released + report.spoiled > 0) {
    notes.push_back(Note{NoteId::kNumbersSettled, {}}
                        .Add("released", static_cast<long long>(report.released))
                        .Add("spoiled", static_cast<long long>(report.spoiled)));
  }
  if (setup.rule && report.newCounter) {
    notes.push_back(Note{NoteId::kNewCounter, {}}
                        .Add("counter", counter.name)
                        .Add("next", next)
                        .Add("step", step));
  }
}

StartReport ProductionRun::Begin() {
  StartReport report;
  auto fail = [&](StartReport::Problem problem, const std::string& detail) {
    report.problem = problem;
    report.detail = detail;
    return report;
  };
  // Whoever prepared the run, its numbers go where they can: inside the OTP area, on
  // bytes that the image leaves blank.
  if (setup_.rule && !setup_.ports.empty()) {
    const SerialRuleProblem problem = CheckSerialRule(*setup_.rule, setup_.serialStart.value_or(0),
                                                      setup_.image, *setup_.ports.front().model);
    if (problem.kind != SerialRuleProblem::Kind::kNone) {
      return fail(StartReport::Problem::kSerialRule,
                  SerialRuleProblemText(problem, setup_.language));
    }
  }
  // The lease: taken at every opening of the store, renewed while it answers with what the
  // station publishes of itself, taken again when another start gave it up for it while
  // it was away.
  const LeaseHolder me = ThisProcess(journal_.owner(), setup_.station);
  store_.OnConnect([me](RecordStore& s, StoreError& e) { s.Claim(me, e); });
  store_.OnBeat([me, live = live_.Reader()](RecordStore& s, StoreError& e) {
    if (!s.Heartbeat(me.owner, live(), e) && e.refused()) {
      e = StoreError{};
      s.Claim(me, e);
    }
  });
  std::weak_ptr<production::Wakeup> wake = wake_;
  store_.OnChange([wake] {
    if (const auto keeper = wake.lock()) keeper->Nudge();
  });
  StoreError error;
  if (!store_.Open(error, kStoreWait) ||
      !Do(
          store_, [me](RecordStore& s, StoreError& e) { return s.Claim(me, e); }, error)) {
    return fail(StartReport::Problem::kStore, error.text);
  }
  if (!production::SettleLeftovers(store_, journal_, setup_.language, report, error)) {
    return fail(StartReport::Problem::kStore, error.text);
  }
  if (!setup_.lot.empty()) {
    const std::string name = setup_.lot;
    const std::uint64_t quantity = setup_.quantity.value_or(0);
    const std::string job = setup_.job;
    const auto lot = Ask<Lot>(
        store_,
        [name, quantity, job](RecordStore& s, StoreError& e) -> std::optional<Lot> {
          Lot made;
          if (!s.EnsureLot(name, quantity, job, made, e)) return std::nullopt;
          return made;
        },
        error);
    if (!lot) return fail(StartReport::Problem::kStore, error.text);
    report.lot = lot;
    {
      const std::lock_guard lock(mutex_);
      lot_ = lot;
      lotRead_ = clock_.Now();
    }
    if (lot->Complete()) return fail(StartReport::Problem::kLotComplete, {});
    if (lot->quantity > 0) {
      // Its parts are places taken in the store: a few held ahead, so that units go on
      // while the store is away, and never more than the lot has left.
      places_ = std::make_unique<production::HeldBlock>(
          store_, clock_, wake_,
          [name, owner = me.owner, station = setup_.station](RecordStore& s, std::size_t count,
                                                             StoreError& e) {
            return s.TakePlaces(name, count, owner, station, e);
          },
          [name, owner = me.owner](RecordStore& s, const std::vector<std::uint64_t>& places,
                                   StoreError& e) {
            return s.ReturnPlaces(name, places, owner, PlaceState::kFree, e);
          },
          production::HeldBlock::Policy{[this] { return PlaceTarget(); },
                                        [this] {
                                          const std::lock_guard lock(mutex_);
                                          return blockTime_;
                                        },
                                        std::max<std::size_t>(1, setup_.ports.size())});
      if (!places_->Fill(PlaceTarget(), error)) {
        return fail(StartReport::Problem::kStore, error.text);
      }
    }
  }
  if (!setup_.rule) return report;
  const std::string name = setup_.counter;
  const std::uint64_t start = setup_.serialStart.value_or(1);
  const std::uint64_t step = setup_.serialStep.value_or(1);
  const auto ensured = Ask<std::pair<Counter, bool>>(
      store_,
      [name, start, step](RecordStore& s,
                          StoreError& e) -> std::optional<std::pair<Counter, bool>> {
        Counter counter;
        bool made = false;
        if (!s.EnsureCounter(name, start, step, counter, made, e)) return std::nullopt;
        return std::make_pair(counter, made);
      },
      error);
  if (!ensured) return fail(StartReport::Problem::kStore, error.text);
  report.counter = ensured->first;
  report.newCounter = ensured->second;
  const Counter& counter = report.counter;
  if (!report.newCounter) {
    if (setup_.serialStart && counter.start && *counter.start != *setup_.serialStart) {
      return fail(StartReport::Problem::kCounterStart, {});
    }
    if (setup_.serialStep && counter.step != *setup_.serialStep) {
      return fail(StartReport::Problem::kCounterStep, {});
    }
  }
  if (setup_.blockTime) {
    const std::lock_guard lock(mutex_);
    blockTime_ = *setup_.blockTime;
  } else {
    const auto setting = Ask<long long>(
        store_, [](RecordStore& s, StoreError& e) { return s.Setting(kBlockSetting, e); }, error);
    if (error.kind != StoreError::Kind::kNone)
      return fail(StartReport::Problem::kStore, error.text);
    const std::lock_guard lock(mutex_);
    if (setting && *setting > 0) blockTime_ = std::chrono::seconds(*setting);
  }
  // The station's pace as its last units went, for the first block's size: a store that
  // goes away in the first minutes finds numbers held for them too.
  AttemptFilter recent;
  recent.station = setup_.station;
  recent.last = 20;
  if (const auto last = Ask<std::vector<Attempt>>(
          store_, [recent](RecordStore& s, StoreError& e) { return s.Attempts(recent, e); },
          error)) {
    const std::lock_guard lock(mutex_);
    for (const Attempt& unit : *last) {
      const bool burned = unit.outcome == UnitOutcome::kPass || unit.outcome == UnitOutcome::kFail;
      if (!burned || unit.seconds <= 0) continue;
      ++unitsTimed_;
      unitSeconds_ += (unit.seconds - unitSeconds_) / unitsTimed_;
    }
  }
  error = StoreError{};  // without its history the station starts at the least block
  // The first block: the units of the first round, and more soon after.
  const std::size_t count = std::min(
      BlockTarget(), std::max(production::HeldBlock::kRefillShare, 2 * setup_.ports.size()));
  if (!numbers_.Fill(count, error)) return fail(StartReport::Problem::kStore, error.text);
  if (numbers_.size() == 0) return fail(StartReport::Problem::kCounterFull, {});
  return report;
}

}  // namespace otp
