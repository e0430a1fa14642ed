#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ops/RecordStore.h"
#include "ops/StoreService.h"

namespace otp::test {

/// A production store in memory, with the rules of the real one (numbers, counters,
/// owners and leases, one record a unit, guesses replaced by the truth) and switches that
/// make it fail where a test wants. Safe to use from several threads.
class FakeStore final : public RecordStore {
 public:
  FakeStore() = default;
  FakeStore(const FakeStore&) = delete;
  FakeStore& operator=(const FakeStore&) = delete;

  // Failures to come: the store is away (every call and every opening fails as if the
  // server were down); the reservations after the next N that work fail (-1: none); the
  // next N settlements fail.
  bool away = false;
  int failReservationsAfter = -1;
  int failSettlements = 0;
  /// The next N settlements are stored, and then fail: the connection dropped after the
  /// commit, so the station never learns that they were stored.
  int lostConfirmations = 0;
  /// Seconds since each owner was heard of, as the store's clock says (default 0).
  std::map<std::string, long long> silence;

  struct Row {
    std::string state;
    std::string owner;
    Attempt unit;  // its unit id empty for a number in a block
  };
  std::map<std::pair<std::string, std::uint64_t>, Row> serials;
  std::map<std::string, Counter> counters;
  std::vector<Attempt> attempts;
  std::map<std::string, Lease> leases;
  std::map<std::string, long long> settings;
  std::map<std::string, Lot> lots;
  std::map<std::string, std::uint64_t> nextPlace;  // by lot
  struct Place {
    std::string state;  // held, passed, free, unknown
    std::string owner;
    std::string unitId;
  };
  std::map<std::pair<std::string, std::uint64_t>, Place> places;  // by lot and place
  int reservationCalls = 0;  // ReserveBlock and Reserve, whatever they gave
  int heartbeats = 0;        // live states and beats that reached the store
  int reads = 0;             // reads of attempts, whatever their filter

  std::mutex mutex;  // held by every call; a test holds it to look while stations run

  /// Empty again, as a new store.
  void Reset() {
    const std::lock_guard lock(mutex);
    away = false;
    failReservationsAfter = -1;
    failSettlements = 0;
    lostConfirmations = 0;
    silence.clear();
    serials.clear();
    counters.clear();
    attempts.clear();
    leases.clear();
    settings.clear();
    lots.clear();
    nextPlace.clear();
    places.clear();
    reservationCalls = 0;
    heartbeats = 0;
    reads = 0;
  }

  /// What a store service opens: this store, as long as it is not away.
  StoreService::Opener Opener() {
    return [this](StoreError& error) -> std::unique_ptr<RecordStore> {
      const std::lock_guard lock(mutex);
      if (away) {
        error.Set(StoreError::Kind::kUnavailable, "memory: the store is away");
        return nullptr;
      }
      return std::make_unique<Handle>(*this);
    };
  }

  std::string Location() const override { return "memory"; }
  std::string Identity() const override { return "fake-store"; }
  bool Created() const override { return false; }

  bool Claim(const LeaseHolder& holder, StoreError& error) override {
    const std::lock_guard lock(mutex);
    if (Away(error)) return false;
    Lease& lease = leases[holder.owner];
    lease.holder = holder;
    lease.started = "2026-12-08T10:00:00Z";
    silence[holder.owner] = 0;
    return true;
  }
  bool Heartbeat(const std::string& owner, const std::string& live, StoreError& error) override {
    const std::lock_guard lock(mutex);
    if (Away(error)) return false;
    const auto lease = leases.find(owner);
    if (lease == leases.end()) {
      error.Set(StoreError::Kind::kRefused, "memory: the lease was given up");
      return false;
    }
    lease->second.live = live;
    silence[owner] = 0;
    ++heartbeats;
    return true;
  }
  bool Release(const std::string& owner, StoreError& error) override {
    const std::lock_guard lock(mutex);
    if (Away(error)) return false;
    leases.erase(owner);
    return true;
  }
  std::optional<std::vector<Lease>> Leases(StoreError& error) override {
    const std::lock_guard lock(mutex);
    if (Away(error)) return std::nullopt;
    std::vector<Lease> all;
    for (auto [owner, lease] : leases) {
      lease.silent = silence[owner];
      all.push_back(lease);
    }
    return all;
  }
  std::optional<long long> Setting(const std::string& name, StoreError& error) override {
    const std::lock_guard lock(mutex);
    if (Away(error)) return std::nullopt;
    const auto it = settings.find(name);
    return it == settings.end() ? std::nullopt : std::optional<long long>(it->second);
  }
  bool SetSetting(const std::string& name, long long value, StoreError& error) override {
    const std::lock_guard lock(mutex);
    if (Away(error)) return false;
    settings[name] = value;
    return true;
  }
  bool ReadCounter(const std::string& name, Counter& counter, bool& found,
                   StoreError& error) override {
    const std::lock_guard lock(mutex);
    if (Away(error)) return false;
    found = counters.count(name) > 0;
    if (found) counter = counters[name];
    return true;
  }
  bool EnsureCounter(const std::string& name, std::uint64_t start, std::uint64_t step,
                     Counter& counter, bool& made, StoreError& error) override {
    const std::lock_guard lock(mutex);
    if (Away(error)) return false;
    made = counters.count(name) == 0;
    if (made) counters[name] = Counter{name, start, step, start, false};
    counter = counters[name];
    return true;
  }
  std::optional<std::uint64_t> NextNumber(const std::string& counter, std::uint64_t max,
                                          StoreError& error) override {
    const std::lock_guard lock(mutex);
    if (Away(error)) return std::nullopt;
    for (const auto& [key, row] : serials) {
      if (key.first == counter && row.state == "released" && key.second <= max) return key.second;
    }
    const auto it = counters.find(counter);
    if (it == counters.end() || it->second.exhausted || it->second.next > max) return std::nullopt;
    return it->second.next;
  }
  std::optional<std::vector<std::uint64_t>> ReserveBlock(const std::string& counter,
                                                         std::size_t count, std::uint64_t max,
                                                         const std::string& owner,
                                                         const std::string& station,
                                                         StoreError& error) override {
    const std::lock_guard lock(mutex);
    Attempt none;
    none.station = station;
    return Take(counter, count, max, owner, none, error);
  }
  std::optional<std::uint64_t> Reserve(const Attempt& unit, std::uint64_t max,
                                       const std::string& owner, StoreError& error) override {
    const std::lock_guard lock(mutex);
    const auto numbers = Take(unit.counter, 1, max, owner, unit, error);
    if (!numbers || numbers->empty()) return std::nullopt;
    return numbers->front();
  }
  bool ReturnNumbers(const std::string& counter, const std::vector<std::uint64_t>& numbers,
                     const std::string& owner, SerialState state, StoreError& error) override {
    const std::lock_guard lock(mutex);
    if (Away(error)) return false;
    for (const std::uint64_t number : numbers) {
      const auto row = serials.find({counter, number});
      if (row != serials.end() && row->second.state == "reserved" && row->second.owner == owner)
        row->second.state = SerialStateName(state);
    }
    return true;
  }
  bool SettleAndRecord(const Attempt& attempt, const std::string& owner,
                       StoreError& error) override {
    const std::lock_guard lock(mutex);
    if (Away(error)) return false;
    if (failSettlements > 0) {
      --failSettlements;
      error.Set(StoreError::Kind::kUnavailable,
                "memory: cannot record the attempt: the store went away");
      return false;
    }
    const auto row =
        attempt.serial ? serials.find({attempt.counter, *attempt.serial}) : serials.end();
    // A number reserved by the owner, or spoiled by a start that took it for gone.
    const bool mine =
        row != serials.end() && row->second.owner == owner &&
        (row->second.state == "reserved" ||
         (row->second.state == "spoiled" && !attempt.guess &&
          (row->second.unit.unitId.empty() || row->second.unit.unitId == attempt.unitId)));
    auto settle = [&] {
      // A unit that passed takes its place for good; one that did not leaves it held.
      if (attempt.lotPlace && attempt.outcome == UnitOutcome::kPass) {
        const auto place = places.find({attempt.lot, *attempt.lotPlace});
        if (place != places.end() && place->second.owner == owner &&
            (place->second.state == "held" || place->second.state == "unknown")) {
          place->second.state = "passed";
          place->second.unitId = attempt.unitId;
        }
      }
      if (!mine) return;
      row->second.state = attempt.serialState ? SerialStateName(*attempt.serialState) : "";
      if (row->second.unit.unitId.empty()) row->second.unit.unitId = attempt.unitId;
    };
    for (Attempt& known : attempts) {
      if (attempt.unitId.empty() || known.unitId != attempt.unitId) continue;
      settle();
      if (known.guess && !attempt.guess) {
        // The station's own word replaces what a start guessed of it.
        const UnitOutcome guessed = known.outcome;
        known = attempt;
        known.corrected = guessed;
      }
      return true;
    }
    if (attempt.serial && !mine) {
      error.Set(StoreError::Kind::kRefused,
                "memory: number " + std::to_string(*attempt.serial) + " is not reserved");
      return false;
    }
    settle();
    attempts.push_back(attempt);
    if (lostConfirmations > 0) {
      --lostConfirmations;
      error.Set(StoreError::Kind::kUnavailable, "memory: the connection dropped after the commit");
      return false;
    }
    return true;
  }
  std::optional<std::vector<Leftover>> Reserved(const std::vector<std::string>& owners,
                                                StoreError& error) override {
    const std::lock_guard lock(mutex);
    if (Away(error)) return std::nullopt;
    std::vector<Leftover> rows;
    for (const auto& [key, row] : serials) {
      if (row.state != "reserved") continue;
      if (std::find(owners.begin(), owners.end(), row.owner) == owners.end()) continue;
      Leftover leftover{row.unit, row.owner, row.unit.unitId.empty()};
      leftover.unit.counter = key.first;
      leftover.unit.serial = key.second;
      rows.push_back(leftover);
    }
    return rows;
  }
  std::optional<std::vector<std::string>> Holders(StoreError& error) override {
    const std::lock_guard lock(mutex);
    if (Away(error)) return std::nullopt;
    std::set<std::string> owners;
    for (const auto& [key, row] : serials) {
      if (row.state == "reserved") owners.insert(row.owner);
    }
    for (const auto& [key, place] : places) {
      if (place.state == "held") owners.insert(place.owner);
    }
    return std::vector<std::string>(owners.begin(), owners.end());
  }
  std::optional<std::vector<bool>> Recorded(const std::vector<std::string>& ids,
                                            StoreError& error) override {
    const std::lock_guard lock(mutex);
    if (Away(error)) return std::nullopt;
    std::vector<bool> recorded;
    for (const std::string& id : ids) {
      bool found = false;
      for (const Attempt& a : attempts)
        found = found || a.unitId == id;
      recorded.push_back(found);
    }
    return recorded;
  }
  bool EnsureLot(const std::string& name, std::uint64_t quantity, const std::string& job, Lot& lot,
                 StoreError& error) override {
    const std::lock_guard lock(mutex);
    if (Away(error)) return false;
    if (!lots.count(name)) {
      lots[name] = Lot{name, quantity, job};
      nextPlace[name] = 1;
    }
    lot = CountedLot(name);
    return true;
  }
  bool ReadLot(const std::string& name, Lot& lot, bool& found, StoreError& error) override {
    const std::lock_guard lock(mutex);
    if (Away(error)) return false;
    found = lots.count(name) > 0;
    if (found) lot = CountedLot(name);
    return true;
  }
  std::optional<std::vector<std::uint64_t>> TakePlaces(const std::string& name, std::size_t count,
                                                       const std::string& owner, const std::string&,
                                                       StoreError& error) override {
    const std::lock_guard lock(mutex);
    if (Away(error)) return std::nullopt;
    if (!lots.count(name)) {
      error.Set(StoreError::Kind::kRefused, "memory: there is no lot " + name);
      return std::nullopt;
    }
    std::vector<std::uint64_t> taken;
    for (auto& [key, place] : places) {
      if (taken.size() == count) break;
      if (key.first != name || place.state != "free") continue;
      place = Place{"held", owner, ""};
      taken.push_back(key.second);
    }
    while (taken.size() < count && nextPlace[name] <= lots[name].quantity) {
      const std::uint64_t place = nextPlace[name]++;
      places[{name, place}] = Place{"held", owner, ""};
      taken.push_back(place);
    }
    return taken;
  }
  bool ReturnPlaces(const std::string& name, const std::vector<std::uint64_t>& list,
                    const std::string& owner, PlaceState state, StoreError& error) override {
    const std::lock_guard lock(mutex);
    if (Away(error)) return false;
    for (const std::uint64_t number : list) {
      const auto place = places.find({name, number});
      if (place == places.end() || place->second.owner != owner ||
          (place->second.state != "held" && place->second.state != "unknown")) {
        continue;
      }
      place->second.state = PlaceStateName(state);
      if (state == PlaceState::kFree) place->second.owner.clear();
    }
    return true;
  }
  std::optional<std::vector<HeldPlace>> HeldPlaces(const std::vector<std::string>& owners,
                                                   StoreError& error) override {
    const std::lock_guard lock(mutex);
    if (Away(error)) return std::nullopt;
    std::vector<HeldPlace> held;
    for (const auto& [key, place] : places) {
      if (place.state != "held" && place.state != "unknown") continue;
      if (std::find(owners.begin(), owners.end(), place.owner) == owners.end()) continue;
      held.push_back({key.first, key.second, place.owner, *PlaceStateNamed(place.state)});
    }
    return held;
  }
  /// How many places of lot `name` are in `state`.
  int PlacesIn(const std::string& name, const std::string& state) {
    const std::lock_guard lock(mutex);
    return CountPlaces(name, state);
  }
  bool ForEachAttempt(const AttemptFilter& filter, const std::function<bool(const Attempt&)>& each,
                      StoreError& error) override {
    std::vector<Attempt> copy;
    {
      const std::lock_guard lock(mutex);
      if (Away(error)) return false;
      ++reads;
      for (const Attempt& a : attempts) {
        if ((!filter.since.empty() && a.started < filter.since) ||
            (!filter.until.empty() && a.started >= filter.until) ||
            (!filter.job.empty() && a.job != filter.job) ||
            (!filter.station.empty() && a.station != filter.station) ||
            (!filter.lot.empty() && a.lot != filter.lot)) {
          continue;
        }
        copy.push_back(a);
      }
    }
    if (filter.last > 0 && copy.size() > filter.last)
      copy.erase(copy.begin(), copy.end() - static_cast<std::ptrdiff_t>(filter.last));
    for (const Attempt& a : copy) {
      if (!each(a)) break;
    }
    return true;
  }

  /// The states of the numbers of counter "serial", by number.
  std::map<std::uint64_t, std::string> States() {
    const std::lock_guard lock(mutex);
    std::map<std::uint64_t, std::string> states;
    for (const auto& [key, row] : serials)
      states[key.second] = row.state;
    return states;
  }

 private:
  int CountPlaces(const std::string& name, const std::string& state) const {
    int count = 0;
    for (const auto& [key, place] : places)
      count += key.first == name && place.state == state ? 1 : 0;
    return count;
  }
  Lot CountedLot(const std::string& name) const {
    Lot lot = lots.at(name);
    lot.passed = CountPlaces(name, "passed");
    lot.held = CountPlaces(name, "held");
    lot.unknown = CountPlaces(name, "unknown");
    return lot;
  }
  // What a store service holds: calls go to the test's store.
  class Handle final : public RecordStore {
   public:
    explicit Handle(FakeStore& store) : store_(store) {}
    std::string Location() const override { return store_.Location(); }
    std::string Identity() const override { return store_.Identity(); }
    bool Created() const override { return false; }
    bool Claim(const LeaseHolder& h, StoreError& e) override { return store_.Claim(h, e); }
    bool Heartbeat(const std::string& o, const std::string& l, StoreError& e) override {
      return store_.Heartbeat(o, l, e);
    }
    bool Release(const std::string& o, StoreError& e) override { return store_.Release(o, e); }
    std::optional<std::vector<Lease>> Leases(StoreError& e) override { return store_.Leases(e); }
    std::optional<long long> Setting(const std::string& n, StoreError& e) override {
      return store_.Setting(n, e);
    }
    bool SetSetting(const std::string& n, long long v, StoreError& e) override {
      return store_.SetSetting(n, v, e);
    }
    bool ReadCounter(const std::string& n, Counter& c, bool& f, StoreError& e) override {
      return store_.ReadCounter(n, c, f, e);
    }
    bool EnsureCounter(const std::string& n, std::uint64_t s, std::uint64_t t, Counter& c, bool& m,
                       StoreError& e) override {
      return store_.EnsureCounter(n, s, t, c, m, e);
    }
    std::optional<std::uint64_t> NextNumber(const std::string& c, std::uint64_t m,
                                            StoreError& e) override {
      return store_.NextNumber(c, m, e);
    }
    std::optional<std::vector<std::uint64_t>> ReserveBlock(const std::string& c, std::size_t n,
                                                           std::uint64_t m, const std::string& o,
                                                           const std::string& s,
                                                           StoreError& e) override {
      return store_.ReserveBlock(c, n, m, o, s, e);
    }
    std::optional<std::uint64_t> Reserve(const Attempt& u, std::uint64_t m, const std::string& o,
                                         StoreError& e) override {
      return store_.Reserve(u, m, o, e);
    }
    bool ReturnNumbers(const std::string& c, const std::vector<std::uint64_t>& n,
                       const std::string& o, SerialState s, StoreError& e) override {
      return store_.ReturnNumbers(c, n, o, s, e);
    }
    bool SettleAndRecord(const Attempt& a, const std::string& o, StoreError& e) override {
      return store_.SettleAndRecord(a, o, e);
    }
    std::optional<std::vector<Leftover>> Reserved(const std::vector<std::string>& o,
                                                  StoreError& e) override {
      return store_.Reserved(o, e);
    }
    std::optional<std::vector<std::string>> Holders(StoreError& e) override {
      return store_.Holders(e);
    }
    std::optional<std::vector<bool>> Recorded(const std::vector<std::string>& i,
                                              StoreError& e) override {
      return store_.Recorded(i, e);
    }
    bool EnsureLot(const std::string& n, std::uint64_t q, const std::string& j, Lot& l,
                   StoreError& e) override {
      return store_.EnsureLot(n, q, j, l, e);
    }
    bool ReadLot(const std::string& n, Lot& l, bool& f, StoreError& e) override {
      return store_.ReadLot(n, l, f, e);
    }
    std::optional<std::vector<std::uint64_t>> TakePlaces(const std::string& n, std::size_t c,
                                                         const std::string& o, const std::string& s,
                                                         StoreError& e) override {
      return store_.TakePlaces(n, c, o, s, e);
    }
    bool ReturnPlaces(const std::string& n, const std::vector<std::uint64_t>& p,
                      const std::string& o, PlaceState s, StoreError& e) override {
      return store_.ReturnPlaces(n, p, o, s, e);
    }
    std::optional<std::vector<HeldPlace>> HeldPlaces(const std::vector<std::string>& o,
                                                     StoreError& e) override {
      return store_.HeldPlaces(o, e);
    }
    bool ForEachAttempt(const AttemptFilter& f, const std::function<bool(const Attempt&)>& each,
                        StoreError& e) override {
      return store_.ForEachAttempt(f, each, e);
    }

   private:
    FakeStore& store_;
  };

  bool Away(StoreError& error) const {
    if (!away) return false;
    error.Set(StoreError::Kind::kUnavailable, "memory: the store is away");
    return true;
  }

  std::optional<std::vector<std::uint64_t>> Take(const std::string& name, std::size_t count,
                                                 std::uint64_t max, const std::string& owner,
                                                 const Attempt& unit, StoreError& error) {
    if (Away(error)) return std::nullopt;
    ++reservationCalls;
    if (failReservationsAfter == 0) {
      error.Set(StoreError::Kind::kUnavailable,
                "memory: cannot reserve a serial number: the store went away");
      return std::nullopt;
    }
    if (failReservationsAfter > 0) --failReservationsAfter;
    const auto found = counters.find(name);
    if (found == counters.end()) {
      error.Set(StoreError::Kind::kRefused, "memory: there is no counter " + name);
      return std::nullopt;
    }
    Counter& counter = found->second;
    std::vector<std::uint64_t> numbers;
    for (auto& [key, row] : serials) {
      if (numbers.size() == count) break;
      if (key.first == name && row.state == "released" && key.second <= max) {
        row = Row{"reserved", owner, unit};
        numbers.push_back(key.second);
      }
    }
    constexpr std::uint64_t kLimit = (std::uint64_t{1} << 63) - 1;
    while (numbers.size() < count && !counter.exhausted && counter.next <= max) {
      const std::uint64_t number = counter.next;
      if (number > kLimit - counter.step) {
        counter.exhausted = true;
      } else {
        counter.next += counter.step;
      }
      serials[{name, number}] = Row{"reserved", owner, unit};
      numbers.push_back(number);
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
  }
};

}  // namespace otp::test
