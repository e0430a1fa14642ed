#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ops/BatchFigures.h"
#include "ops/Outcome.h"
#include "ops/Verdict.h"

namespace otp {

/// Whether `location` names a store on a server (a PostgreSQL URL, in any case), rather
/// than an SQLite file.
bool IsServerLocation(std::string_view location);

/// Why a call to a store did not do what it was asked.
struct StoreError {
  enum class Kind {
    kNone,
    kUnavailable,  // the store could not be reached, or did not answer in time: the same
                   // call may work later
    kRefused,      // the store answered: what was asked contradicts what it holds
  };
  Kind kind = Kind::kNone;
  std::string text;  // for a person: where, what and why; never a password

  bool unavailable() const { return kind == Kind::kUnavailable; }
  bool refused() const { return kind == Kind::kRefused; }
  void Set(Kind why, std::string what) {
    kind = why;
    text = std::move(what);
  }
};
inline std::ostream& operator<<(std::ostream& out, const StoreError& error) {
  return out << error.text;
}

/// The states of a serial number once it was issued.
enum class SerialState { kReserved, kUsed, kReleased, kSpoiled };

/// "reserved", "used", "released", "spoiled".
const char* SerialStateName(SerialState state);
std::optional<SerialState> SerialStateNamed(std::string_view name);

/// The outcome of a record written before outcomes, from its result ("pass", "fail",
/// "interrupted"), verdict and number's state.
UnitOutcome LegacyOutcome(std::string_view result, UnitVerdict verdict,
                          std::optional<SerialState> state);

/// One attempt to burn a unit, as quality control reads it later. While the unit burns
/// the same record, filled as far as it is known, travels with its number and through
/// the station's journal.
struct Attempt {
  std::string unitId;   // unique: the process that burned it and its sequence number
  std::string started;  // UTC, ISO 8601: "2026-12-07T12:34:56Z"
  std::string ended;
  std::string station;
  std::string port;
  std::string device;
  std::string model;
  std::string clock;
  std::string image;  // the image file's name, or the job's
  std::uint32_t crc32 = 0;
  std::string job;     // the job's name; empty without a job
  std::string jobSum;  // the job's short checksum
  std::string lot;     // the lot it belongs to; empty without one
  /// The place of the lot the unit holds (a lot's parts are its places, taken in the
  /// store as numbers are); none without a lot, or for units of earlier releases.
  std::optional<std::uint64_t> lotPlace;
  std::string counter;
  std::optional<std::uint64_t> serial;
  std::optional<SerialState> serialState;  // without a number: none
  UnitOutcome outcome = UnitOutcome::kPass;
  UnitVerdict verdict = UnitVerdict::kPass;
  std::optional<int> exitStatus;     // records of the first schema only
  std::optional<unsigned> reportId;  // the failing report's catalogue number
  std::string reportText;
  std::optional<std::uint32_t> firstDifference;
  std::optional<std::uint32_t> failedBlock;  // the program block that failed
  /// A program block was sent to the part: it is written, whatever ended the unit.
  bool wrote = false;
  double seconds = 0;
  ReadMode reading = ReadMode::kArea;
  /// Recorded from what a start found of a station that was gone, not from the
  /// station's own word: its journal's record, when it comes, replaces it.
  bool guess = false;
  /// A record that replaced such a guess: the outcome that was guessed.
  std::optional<UnitOutcome> corrected;

  /// The result column of the first schemas: pass, fail or interrupted.
  const char* ResultName() const;
  /// Whether the unit wrote its part: its own word, or for records of earlier releases
  /// what their outcome, number and failed block tell.
  bool Wrote() const {
    return wrote || outcome == UnitOutcome::kPass || outcome == UnitOutcome::kFail ||
           serialState == SerialState::kSpoiled || failedBlock.has_value();
  }
};

/// A counter of serial numbers: the next number it gives and its step; the number it
/// began at (unknown for counters of the first schema).
struct Counter {
  std::string name;
  std::uint64_t next = 0;
  std::uint64_t step = 1;
  std::optional<std::uint64_t> start;
  bool exhausted = false;  // its next number would be 2^63 or more: it gives no more
};

/// Which attempts to read. Times are UTC ISO 8601 ("2026-12-07T00:00:00Z"); empty
/// fields select everything.
struct AttemptFilter {
  std::string since;  // started at or after
  std::string until;  // started before
  std::string job;
  std::string station;
  std::string lot;
  std::size_t last = 0;  // only the last N of them (0: all)
};

/// Who holds a lease: a process of a station, and how to know that it has ended.
struct LeaseHolder {
  std::string owner;    // the process's own name: unique
  std::string station;  // the station's name
  std::string host;     // the computer's name
  std::string boot;     // what tells one boot of that computer from the next
  long long pid = 0;
  std::string processStart;  // what tells this process from a later one with its id
};

/// A lease as the store holds it.
struct Lease {
  LeaseHolder holder;
  std::string started;   // UTC, ISO 8601
  long long silent = 0;  // seconds since it was last heard of, by the store's clock
  std::string live;      // what the station last published of itself (JSON)
};

/// A lot: a number of parts to pass, for one job or image. With a quantity, its parts are
/// places that units take in the store as they take serial numbers, in the store's own
/// transaction: a place passes with its unit's record, so no more than `quantity` ever
/// pass, whatever the stations.
struct Lot {
  std::string name;
  std::uint64_t quantity = 0;  // 0: no quantity
  std::string job;
  int passed = 0;   // units of the lot recorded as passed (its places passed)
  int held = 0;     // places stations hold: ahead in a block, or for a unit that burns
  int unknown = 0;  // places of stations gone without a word: their parts may have passed
  /// Every part of the lot passed.
  bool Complete() const { return quantity > 0 && static_cast<std::uint64_t>(passed) >= quantity; }
  /// Places that no station holds and no unit passed on: a station may still take them.
  std::uint64_t Free() const {
    const auto taken = static_cast<std::uint64_t>(passed + held + unknown);
    return quantity > taken ? quantity - taken : 0;
  }
};

/// What became of a lot's place that a station held.
enum class PlaceState {
  kHeld,     // a station holds it
  kPassed,   // a unit that passed took it
  kFree,     // given back: nothing that passed took it
  kUnknown,  // its station is gone and nothing tells whether its unit passed
};
/// "held", "passed", "free", "unknown".
const char* PlaceStateName(PlaceState state);
std::optional<PlaceState> PlaceStateNamed(std::string_view name);

/// A place of a lot that an owner holds (or held, when unknown).
struct HeldPlace {
  std::string lot;
  std::uint64_t place = 0;
  std::string owner;
  PlaceState state = PlaceState::kHeld;
};

/// Where production records and serial numbers are kept: one transaction for every
/// change, a unique key behind the rule that no number is issued twice. Used on one
/// thread. Implemented on a real database below the engine; tests use a fake.
class RecordStore {
 public:
  virtual ~RecordStore() = default;

  /// The store as it may be shown: never a password.
  virtual std::string Location() const = 0;
  /// What the store is, whatever names it: made with it and never changed.
  virtual std::string Identity() const = 0;
  /// True when this open made the store.
  virtual bool Created() const = 0;

  /// Takes (or takes again, after a dropped connection) the lease of `holder`: numbers
  /// reserved by a holder whose process has ended, or that has not been heard of for the
  /// grace time, are leftovers.
  virtual bool Claim(const LeaseHolder& holder, StoreError& error) = 0;
  /// The lease of `owner` is heard of now, with what its station publishes of itself.
  virtual bool Heartbeat(const std::string& owner, const std::string& live, StoreError& error) = 0;
  /// Gives the lease of `owner` up: its process ends and holds no number.
  virtual bool Release(const std::string& owner, StoreError& error) = 0;
  /// Every lease the store holds.
  virtual std::optional<std::vector<Lease>> Leases(StoreError& error) = 0;
  /// A site's setting (grace seconds, block minutes); nothing when it is not set.
  virtual std::optional<long long> Setting(const std::string& name, StoreError& error) = 0;
  virtual bool SetSetting(const std::string& name, long long value, StoreError& error) = 0;

  /// Counter `name`, when there is one (`found`).
  virtual bool ReadCounter(const std::string& name, Counter& counter, bool& found,
                           StoreError& error) = 0;
  /// Makes counter `name` with `start` and `step` unless it exists; `counter` holds it
  /// either way, `made` tells which.
  virtual bool EnsureCounter(const std::string& name, std::uint64_t start, std::uint64_t step,
                             Counter& counter, bool& made, StoreError& error) = 0;
  /// The number that the next reservation of `counter` gives, not above `max`: the lowest
  /// released one, else the counter's next; nothing (with `error` empty) when none fits.
  virtual std::optional<std::uint64_t> NextNumber(const std::string& counter, std::uint64_t max,
                                                  StoreError& error) = 0;
  /// Reserves for `owner` of `station` up to `count` numbers of `counter` not above `max`:
  /// the lowest released ones first, then the counter's next ones, which then grow by its
  /// step. Fewer (none, with `error` empty) when the counter runs out of numbers that fit.
  /// They carry no unit: the station hands them out, its journal says to which.
  virtual std::optional<std::vector<std::uint64_t>> ReserveBlock(
      const std::string& counter, std::size_t count, std::uint64_t max, const std::string& owner,
      const std::string& station, StoreError& error) = 0;
  /// Reserves one number for the unit `unit` of `owner`, as ReserveBlock, the number
  /// carrying the unit (its port, device, image, start).
  virtual std::optional<std::uint64_t> Reserve(const Attempt& unit, std::uint64_t max,
                                               const std::string& owner, StoreError& error) = 0;
  /// Numbers of `counter` that `owner` reserved and no unit took: moved to `state`
  /// (released: never on a part; spoiled: perhaps on one).
  virtual bool ReturnNumbers(const std::string& counter, const std::vector<std::uint64_t>& numbers,
                             const std::string& owner, SerialState state, StoreError& error) = 0;
  /// In one transaction: moves the attempt's number, if it has one, from reserved by
  /// `owner` to `attempt.serialState`, the lot's place it holds to passed when it passed
  /// (a place of a unit that did not pass stays its station's), and records the attempt. An attempt
  /// whose unit id is recorded already is not recorded again (a journal replayed twice), unless
  /// what is recorded is a guess and this is not: then it replaces the guess, which it names.
  virtual bool SettleAndRecord(const Attempt& attempt, const std::string& owner,
                               StoreError& error) = 0;
  /// A number reserved by an owner, with the unit it was reserved for when it names one
  /// (counter, serial and the unit's fields).
  struct Leftover {
    Attempt unit;
    std::string owner;
    bool held = false;  // in a block: no unit took it as far as the store knows
  };
  /// The numbers that `owners` hold reserved.
  virtual std::optional<std::vector<Leftover>> Reserved(const std::vector<std::string>& owners,
                                                        StoreError& error) = 0;
  /// The owners that hold reserved numbers or a lot's places.
  virtual std::optional<std::vector<std::string>> Holders(StoreError& error) = 0;
  /// Which of `unitIds` are recorded.
  virtual std::optional<std::vector<bool>> Recorded(const std::vector<std::string>& unitIds,
                                                    StoreError& error) = 0;
  /// Makes lot `name` for `quantity` parts of `job` unless it exists; `lot` holds it
  /// either way, as ReadLot gives it.
  virtual bool EnsureLot(const std::string& name, std::uint64_t quantity, const std::string& job,
                         Lot& lot, StoreError& error) = 0;
  /// Lot `name` with its places counted, when there is one (`found`).
  virtual bool ReadLot(const std::string& name, Lot& lot, bool& found, StoreError& error) = 0;
  /// Takes up to `count` places of lot `name` for `owner` of `station`: places given back
  /// first, the lowest first, then new ones while the lot's quantity has room. Fewer
  /// (none, with `error` empty) when no more are free.
  virtual std::optional<std::vector<std::uint64_t>> TakePlaces(const std::string& name,
                                                               std::size_t count,
                                                               const std::string& owner,
                                                               const std::string& station,
                                                               StoreError& error) = 0;
  /// Places of lot `name` that `owner` holds (or held, unknown) and no unit passed on:
  /// moved to `state` (free: nothing that passed took them; unknown: a unit that passed
  /// may have).
  virtual bool ReturnPlaces(const std::string& name, const std::vector<std::uint64_t>& places,
                            const std::string& owner, PlaceState state, StoreError& error) = 0;
  /// The places that `owners` hold, and those of theirs whose fate is unknown.
  virtual std::optional<std::vector<HeldPlace>> HeldPlaces(const std::vector<std::string>& owners,
                                                           StoreError& error) = 0;
  /// Hands `each` the attempts that `filter` selects, oldest first, reading them a page
  /// at a time: memory follows the page, not the rows. `each` returns false to stop.
  virtual bool ForEachAttempt(const AttemptFilter& filter,
                              const std::function<bool(const Attempt&)>& each,
                              StoreError& error) = 0;
  /// The attempts that `filter` selects, oldest first, all at once: for a few of them.
  std::optional<std::vector<Attempt>> Attempts(const AttemptFilter& filter, StoreError& error) {
    std::vector<Attempt> attempts;
    if (!ForEachAttempt(
            filter,
            [&attempts](const Attempt& a) {
              attempts.push_back(a);
              return true;
            },
            error)) {
      return std::nullopt;
    }
    return attempts;
  }
  /// The attempts that `filter` selects, counted by outcome and by whether they wrote
  /// their parts. The store counts them; this way reads them all, for stores that cannot.
  virtual std::optional<UnitCounts> OutcomeCounts(const AttemptFilter& filter, StoreError& error) {
    UnitCounts counts;
    if (!ForEachAttempt(
            filter,
            [&counts](const Attempt& a) {
              counts.Add(a.outcome, a.Wrote());
              return true;
            },
            error)) {
      return std::nullopt;
    }
    return counts;
  }
  /// The name of every station that recorded an attempt, in order.
  virtual std::optional<std::vector<std::string>> StationNames(StoreError& error) {
    std::set<std::string> names;
    if (!ForEachAttempt(
            {},
            [&names](const Attempt& a) {
              names.insert(a.station);
              return true;
            },
            error)) {
      return std::nullopt;
    }
    return std::vector<std::string>(names.begin(), names.end());
  }
  /// What a batch report shows of the attempts that `filter` selects, counted by the
  /// store.
  virtual std::optional<BatchFigures> Figures(const AttemptFilter& filter, StoreError& error) {
    (void)filter;
    error.Set(StoreError::Kind::kRefused, "this store counts no figures");
    return std::nullopt;
  }
};

}  // namespace otp
