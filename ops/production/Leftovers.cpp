#include "ops/production/Leftovers.h"

#include <map>
#include <set>

#include "core/Texts.h"
#include "ops/Host.h"
#include "ops/production/Ask.h"

namespace otp::production {

namespace {

// The journal file's owner: its name without the ending.
std::string OwnerOf(const Journal::Orphan& orphan) {
  return orphan.file.stem().string();
}

// The owners that hold numbers and are gone for certain: their process ended on this
// computer, or they have not been heard of for the grace time; an owner that holds
// numbers without a lease (the store's first schemas) is gone too.
std::optional<std::set<std::string>> GoneOwners(StoreService& store, const std::string& me,
                                                StoreError& error) {
  const auto leases = Ask<std::vector<Lease>>(
      store, [](RecordStore& s, StoreError& e) { return s.Leases(e); }, error);
  if (!leases) return std::nullopt;
  const auto holders = Ask<std::vector<std::string>>(
      store, [](RecordStore& s, StoreError& e) { return s.Holders(e); }, error);
  if (!holders) return std::nullopt;
  const auto setting = Ask<long long>(
      store, [](RecordStore& s, StoreError& e) { return s.Setting(kGraceSetting, e); }, error);
  if (error.kind != StoreError::Kind::kNone) return std::nullopt;
  const long long grace = setting.value_or(kDefaultGrace.count());
  std::set<std::string> gone;
  std::set<std::string> leased;
  for (const Lease& lease : *leases) {
    leased.insert(lease.holder.owner);
    if (lease.holder.owner != me && (EndedHere(lease.holder) || lease.silent > grace)) {
      gone.insert(lease.holder.owner);
    }
  }
  for (const std::string& holder : *holders) {
    if (holder != me && !leased.count(holder)) gone.insert(holder);
  }
  return gone;
}

// What the settling of gone owners works with.
class Settling {
 public:
  Settling(StoreService& store, Language language, StartReport& report, StoreError& error)
      : store_(store), language_(language), report_(report), error_(error) {}

  bool ReadRows(const std::vector<std::string>& owners) {
    auto rows = Ask<std::vector<RecordStore::Leftover>>(
        store_, [owners](RecordStore& s, StoreError& e) { return s.Reserved(owners, e); }, error_);
    if (!rows) return false;
    rows_ = std::move(*rows);
    auto places = Ask<std::vector<HeldPlace>>(
        store_, [owners](RecordStore& s, StoreError& e) { return s.HeldPlaces(owners, e); },
        error_);
    if (!places) return false;
    places_ = std::move(*places);
    return true;
  }

  // The lot's places that `owner` held and no unit of its passed on, moved to `state`:
  // free when its journal tells what its units came to, unknown when nothing does.
  bool SettlePlaces(const std::string& owner, PlaceState state) {
    std::map<std::string, std::vector<std::uint64_t>> byLot;
    for (const HeldPlace& place : places_) {
      if (place.owner == owner) byLot[place.lot].push_back(place.place);
    }
    for (const auto& [lot, list] : byLot) {
      if (!Do(
              store_,
              [lot = lot, list = list, owner, state](RecordStore& s, StoreError& e) {
                return s.ReturnPlaces(lot, list, owner, state, e);
              },
              error_)) {
        return false;
      }
    }
    return true;
  }

  // The rows of `owner`, taken out of those read.
  std::vector<RecordStore::Leftover> RowsOf(const std::string& owner) {
    std::vector<RecordStore::Leftover> mine;
    for (auto it = rows_.begin(); it != rows_.end();) {
      if (it->owner == owner) {
        mine.push_back(std::move(*it));
        it = rows_.erase(it);
      } else {
        ++it;
      }
    }
    return mine;
  }

  // Gives numbers back in `state`, counter by counter; the numbers given.
  std::optional<std::vector<std::uint64_t>> GiveBack(
      const std::string& owner, const std::vector<RecordStore::Leftover>& numbers,
      SerialState state) {
    std::map<std::string, std::vector<std::uint64_t>> byCounter;
    for (const RecordStore::Leftover& row : numbers)
      byCounter[row.unit.counter].push_back(*row.unit.serial);
    std::vector<std::uint64_t> given;
    for (const auto& [counter, list] : byCounter) {
      if (!Do(
              store_,
              [counter = counter, list = list, owner, state](RecordStore& s, StoreError& e) {
                return s.ReturnNumbers(counter, list, owner, state, e);
              },
              error_)) {
        return std::nullopt;
      }
      (state == SerialState::kReleased ? report_.released : report_.spoiled) += list.size();
      given.insert(given.end(), list.begin(), list.end());
    }
    return given;
  }

  bool Record(const Attempt& attempt, const std::string& owner) {
    return Do(
        store_,
        [attempt, owner](RecordStore& s, StoreError& e) {
          return s.SettleAndRecord(attempt, owner, e);
        },
        error_);
  }

  bool ReleaseLease(const std::string& owner) {
    return Do(
        store_, [owner](RecordStore& s, StoreError& e) { return s.Release(owner, e); }, error_);
  }

  // With its journal, what each unit came to is known exactly.
  bool FromJournal(Journal& journal, const Journal::Orphan& orphan) {
    const std::string owner = OwnerOf(orphan);
    std::vector<RecordStore::Leftover> held = RowsOf(owner);
    if (orphan.damage) return Damaged(journal, orphan, owner, held);
    std::string refusal;
    for (const JournalEntry& journaled : orphan.units) {
      JournalEntry entry = journaled;
      // Killed between its reservation and the journal's line of it: the store's row
      // names the unit and its number, which the part never received.
      if (!entry.unit.serial) {
        for (const RecordStore::Leftover& row : held) {
          if (row.unit.unitId == entry.unit.unitId) {
            entry.unit.serial = row.unit.serial;
            entry.unit.counter = row.unit.counter;
          }
        }
      }
      const Attempt attempt = Replayed(entry, language_);
      if (!Record(attempt, owner)) {
        if (!error_.refused()) return false;
        if (refusal.empty()) refusal = error_.text;
        error_ = StoreError{};
        continue;
      }
      report_.replayed.push_back(attempt);
      std::erase_if(held, [&](const RecordStore::Leftover& row) {
        return row.unit.counter == attempt.counter && row.unit.serial == attempt.serial;
      });
    }
    // What the journal never gave to a unit never reached a part, and a place whose unit
    // did not pass (or that no unit took) is free again.
    if (!GiveBack(owner, held, SerialState::kReleased) || !SettlePlaces(owner, PlaceState::kFree)) {
      return false;
    }
    if (refusal.empty()) {
      journal.Forget(orphan);
    } else {
      // One refused unit stops no station: the journal is kept for a person to check.
      report_.setAside.push_back({orphan.file, journal.PutAside(orphan, Journal::Aside::kRefused),
                                  refusal, orphan.units.size()});
    }
    return ReleaseLease(owner);
  }

  // A journal with a damaged line is proof of nothing: a damaged line may be the one
  // that gave a number to a part, or ended a unit that the store never heard of. None of
  // its units is recorded; every number its station holds is spoiled, never issued
  // again; the file is kept, under a name no start reads, for a person to check.
  bool Damaged(Journal& journal, const Journal::Orphan& orphan, const std::string& owner,
               const std::vector<RecordStore::Leftover>& held) {
    const auto spoiled = GiveBack(owner, held, SerialState::kSpoiled);
    if (!spoiled || !SettlePlaces(owner, PlaceState::kUnknown)) return false;
    StartReport::Damaged damaged;
    damaged.file = orphan.file;
    damaged.damage = *orphan.damage;
    damaged.spoiled = *spoiled;
    damaged.named = orphan.numbers;
    damaged.aside = journal.PutAside(orphan, Journal::Aside::kDamaged);
    report_.damaged.push_back(std::move(damaged));
    return ReleaseLease(owner);
  }

  // Without its journal (its station ran elsewhere, or is away too long), how far each
  // unit came is unknown: the unit is recorded as a guess that its station's own record
  // replaces if it comes, its number may be on a part and is never issued again.
  bool WithoutJournal(const std::string& owner) {
    std::vector<RecordStore::Leftover> held;
    for (RecordStore::Leftover& row : RowsOf(owner)) {
      if (row.held) {
        held.push_back(std::move(row));
        continue;
      }
      Attempt attempt = row.unit;
      attempt.ended = attempt.started;
      attempt.outcome = UnitOutcome::kBoardGone;
      attempt.verdict = UnitVerdict::kInterrupted;
      attempt.serialState = SerialState::kSpoiled;
      attempt.guess = true;
      attempt.reportText =
          Tr(language_, "its station stopped during the unit: what the part holds is unknown");
      if (!Record(attempt, owner)) return false;
      report_.replayed.push_back(attempt);
    }
    return GiveBack(owner, held, SerialState::kSpoiled) &&
           SettlePlaces(owner, PlaceState::kUnknown) && ReleaseLease(owner);
  }

 private:
  StoreService& store_;
  Language language_;
  StartReport& report_;
  StoreError& error_;
  std::vector<RecordStore::Leftover> rows_;
  std::vector<HeldPlace> places_;
};

}  // namespace

Attempt Replayed(const JournalEntry& entry, Language language) {
  Attempt a = entry.unit;
  if (entry.stage == JournalStage::kEnded) return a;
  if (a.ended.empty()) a.ended = a.started;
  a.verdict = UnitVerdict::kInterrupted;
  const bool written = entry.stage == JournalStage::kProgramming;
  // Before its first program block the part holds nothing, of the image or the number.
  a.outcome = written ? UnitOutcome::kFail : UnitOutcome::kStopped;
  a.wrote = written;
  a.reportText = written ? Tr(language, "the station stopped while the part was programmed")
                         : Tr(language, "the station stopped during the unit");
  if (a.serial) a.serialState = written ? SerialState::kSpoiled : SerialState::kReleased;
  return a;
}

bool SettleLeftovers(StoreService& store, Journal& journal, Language language, StartReport& report,
                     StoreError& error) {
  auto gone = GoneOwners(store, journal.owner(), error);
  if (!gone) return false;
  // A journal here that no process holds: its process has ended.
  const std::vector<Journal::Orphan> orphans = journal.TakeOver(&report.skipped);
  for (const Journal::Orphan& orphan : orphans)
    gone->insert(OwnerOf(orphan));
  if (gone->empty()) return true;
  Settling settling(store, language, report, error);
  if (!settling.ReadRows(std::vector<std::string>(gone->begin(), gone->end()))) return false;
  for (const Journal::Orphan& orphan : orphans) {
    if (!settling.FromJournal(journal, orphan)) return false;
    gone->erase(OwnerOf(orphan));
  }
  for (const std::string& owner : *gone) {
    if (!settling.WithoutJournal(owner)) return false;
  }
  return true;
}

}  // namespace otp::production
