#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "ops/RecordStore.h"

namespace otp::test {

/// A production store in memory, with the rules of the real one (numbers, counters,
/// owners, one record a unit) and switches that make it fail where a test wants.
class FakeStore final : public RecordStore {
 public:
  // Failures to come: the reservations after the next N that work fail (-1: none), the
  // next N settlements fail.
  int failReservationsAfter = -1;
  int failSettlements = 0;
  /// The next N settlements are stored, and then fail: the connection dropped after the
  /// commit, so the station never learns that they were stored.
  int lostConfirmations = 0;
  std::set<std::string> liveOwners;  // owners that Orphans takes for alive

  struct Row {
    std::string state;
    std::string owner;
    Attempt unit;
  };
  std::map<std::pair<std::string, std::uint64_t>, Row> serials;
  std::map<std::string, Counter> counters;
  std::vector<Attempt> attempts;

  std::string Location() const override { return "memory"; }
  bool Created() const override { return false; }
  bool Claim(const std::string& owner, StoreError&) override {
    liveOwners.insert(owner);
    return true;
  }
  bool ReadCounter(const std::string& name, Counter& counter, bool& found, StoreError&) override {
    found = counters.count(name) > 0;
    if (found) counter = counters[name];
    return true;
  }
  bool EnsureCounter(const std::string& name, std::uint64_t start, std::uint64_t step,
                     Counter& counter, bool& made, StoreError&) override {
    made = counters.count(name) == 0;
    if (made) counters[name] = Counter{name, start, step, start, false};
    counter = counters[name];
    return true;
  }
  std::optional<std::uint64_t> Reserve(const Attempt& unit, std::uint64_t max,
                                       const std::string& owner, StoreError& error) override {
    if (failReservationsAfter == 0) {
      error.Set(StoreError::Kind::kUnavailable,
                "memory: cannot reserve a serial number: the store went away");
      return std::nullopt;
    }
    if (failReservationsAfter > 0) --failReservationsAfter;
    Counter& counter = counters[unit.counter];
    for (auto& [key, row] : serials) {
      if (key.first == unit.counter && row.state == "released" && key.second <= max) {
        row = Row{"reserved", owner, unit};
        return key.second;
      }
    }
    if (counter.exhausted || counter.next > max) return std::nullopt;
    const std::uint64_t number = counter.next;
    constexpr std::uint64_t kLimit = (std::uint64_t{1} << 63) - 1;
    if (number > kLimit - counter.step) {
      counter.exhausted = true;
    } else {
      counter.next += counter.step;
    }
    serials[{unit.counter, number}] = Row{"reserved", owner, unit};
    return number;
  }
  bool SettleAndRecord(const Attempt& attempt, const std::string& owner,
                       StoreError& error) override {
    if (failSettlements > 0) {
      --failSettlements;
      error.Set(StoreError::Kind::kUnavailable,
                "memory: cannot record the attempt: the store went away");
      return false;
    }
    const auto row =
        attempt.serial ? serials.find({attempt.counter, *attempt.serial}) : serials.end();
    const bool mine =
        row != serials.end() && row->second.state == "reserved" && row->second.owner == owner;
    for (const Attempt& known : attempts) {
      if (attempt.unitId.empty() || known.unitId != attempt.unitId) continue;
      // Recorded before without its number: the number is settled now.
      if (mine && row->second.unit.unitId == attempt.unitId)
        row->second.state = attempt.serialState;
      return true;
    }
    if (attempt.serial) {
      if (!mine) {
        error.Set(StoreError::Kind::kRefused,
                  "memory: number " + std::to_string(*attempt.serial) + " is not reserved");
        return false;
      }
      row->second.state = attempt.serialState;
    }
    attempts.push_back(attempt);
    if (lostConfirmations > 0) {
      --lostConfirmations;
      error.Set(StoreError::Kind::kUnavailable, "memory: the connection dropped after the commit");
      return false;
    }
    return true;
  }
  std::optional<std::vector<Leftover>> Orphans(const std::string& station, StoreError&) override {
    std::vector<Leftover> gone;
    for (const auto& [key, row] : serials) {
      if (row.state != "reserved" || row.unit.station != station || liveOwners.count(row.owner))
        continue;
      Leftover leftover{row.unit, row.owner};
      leftover.unit.counter = key.first;
      leftover.unit.serial = key.second;
      gone.push_back(leftover);
    }
    return gone;
  }
  std::optional<std::vector<bool>> Recorded(const std::vector<std::string>& ids,
                                            StoreError&) override {
    std::vector<bool> recorded;
    for (const std::string& id : ids) {
      bool found = false;
      for (const Attempt& a : attempts)
        found = found || a.unitId == id;
      recorded.push_back(found);
    }
    return recorded;
  }
  bool ForEachAttempt(const AttemptFilter&, const std::function<bool(const Attempt&)>& each,
                      StoreError&) override {
    for (const Attempt& a : attempts) {
      if (!each(a)) break;
    }
    return true;
  }
};

}  // namespace otp::test
