#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "ops/BatchFigures.h"

namespace otp {

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
inline const char* SerialStateName(SerialState state) {
  constexpr const char* kNames[] = {"reserved", "used", "released", "spoiled"};
  return kNames[static_cast<int>(state)];
}

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
  std::string counter;
  std::optional<std::uint64_t> serial;
  std::string serialState;           // used, released, spoiled; empty without a serial number
  std::string result;                // pass, fail, interrupted
  std::string verdict;               // the unit's verdict (ops/Verdict.h names)
  std::optional<int> exitStatus;     // records of the first schema only
  std::optional<unsigned> reportId;  // the failing report's catalogue number
  std::string reportText;
  std::optional<std::uint32_t> firstDifference;
  std::optional<std::uint32_t> failedBlock;  // the program block that failed
  double seconds = 0;
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
  std::size_t last = 0;  // only the last N of them (0: all)
};

/// Where production records and serial numbers are kept: one transaction for every
/// change, a unique key behind the rule that no number is issued twice. Used on one
/// thread. Implemented on a real database below the engine; tests use a fake.
class RecordStore {
 public:
  virtual ~RecordStore() = default;

  /// The store as it may be shown: never a password.
  virtual std::string Location() const = 0;
  /// True when this open made the store.
  virtual bool Created() const = 0;

  /// Takes the lease of `owner` for as long as this store is open: numbers reserved by
  /// an owner whose lease is gone (its process ended) are leftovers.
  virtual bool Claim(const std::string& owner, StoreError& error) = 0;

  /// Counter `name`, when there is one (`found`).
  virtual bool ReadCounter(const std::string& name, Counter& counter, bool& found,
                           StoreError& error) = 0;
  /// Makes counter `name` with `start` and `step` unless it exists; `counter` holds it
  /// either way, `made` tells which.
  virtual bool EnsureCounter(const std::string& name, std::uint64_t start, std::uint64_t step,
                             Counter& counter, bool& made, StoreError& error) = 0;
  /// Reserves for the unit `unit` of `owner` the lowest released number of `unit.counter`
  /// not above `max`, else the counter's next, which then grows by its step. The number
  /// carries the unit (its port, device, image, start), so that a unit that never ends is
  /// recorded as itself. Nothing with `error` empty when the counter's next is above
  /// `max`.
  virtual std::optional<std::uint64_t> Reserve(const Attempt& unit, std::uint64_t max,
                                               const std::string& owner, StoreError& error) = 0;
  /// In one transaction: moves the attempt's number, if it has one, from reserved by
  /// `owner` to `attempt.serialState`, and records the attempt. An attempt whose unit id
  /// is recorded already is not recorded again (a journal replayed twice).
  virtual bool SettleAndRecord(const Attempt& attempt, const std::string& owner,
                               StoreError& error) = 0;
  /// A number whose owner is gone, with the unit it was reserved for (counter, serial
  /// and the unit's fields) and its owner.
  struct Leftover {
    Attempt unit;
    std::string owner;
  };
  /// Numbers reserved at `station` whose owner is gone.
  virtual std::optional<std::vector<Leftover>> Orphans(const std::string& station,
                                                       StoreError& error) = 0;
  /// Which of `unitIds` are recorded.
  virtual std::optional<std::vector<bool>> Recorded(const std::vector<std::string>& unitIds,
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
  /// What a batch report shows of the attempts that `filter` selects, counted by the
  /// store.
  virtual std::optional<BatchFigures> Figures(const AttemptFilter& filter, StoreError& error) {
    (void)filter;
    error.Set(StoreError::Kind::kRefused, "this store counts no figures");
    return std::nullopt;
  }
};

}  // namespace otp
