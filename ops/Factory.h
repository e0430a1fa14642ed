#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "ops/RecordStore.h"

namespace otp {

/// What a station publishes of itself through its lease, at most once a second: the
/// store as it sees it, its block, its job and lot, and each port's state.
struct StationLive {
  struct Port {
    enum class State { kIdle, kWaiting, kWorking, kEnded };
    std::string name;
    State state = State::kIdle;
    std::optional<std::uint64_t> serial;  // the unit's number, once it has one
    std::optional<UnitOutcome> outcome;   // kEnded
  };
  bool away = false;        // the station cannot reach the store
  std::size_t waiting = 0;  // records in its journal that the store does not hold yet
  std::optional<std::size_t> numbersLeft;
  std::string counter;                   // the counter its numbers come from
  std::optional<std::uint64_t> largest;  // the largest number its rule can place
  std::string job;
  std::string lot;
  std::uint64_t quantity = 0;
  int lotPassed = 0;
  std::vector<Port> ports;
};

/// `live` as the lease carries it (JSON; the factory view reads it back).
std::string LiveJson(const StationLive& live);
/// `live` as a station published it; nothing when it is not such JSON (a lease's live
/// state is any process's to write: it is read as hostile text).
std::optional<StationLive> ParseLive(const std::string& live);
const char* PortStateName(StationLive::Port::State state);
std::optional<StationLive::Port::State> PortStateNamed(std::string_view name);

/// What the factory view shows of a station.
struct StationView {
  enum class State {
    kBurning,  // a unit burns on one of its ports
    kIdle,     // it runs and waits (for Enter, or for a board)
    kAway,     // its lease is held but it has not been heard of for a while (its
               // network or the store's)
    kStopped,  // it gave its lease up: it was stopped
    kGone,     // not heard of for the grace time: it died or lost its network
  };
  struct Port {
    std::string name;
    std::optional<StationLive::Port> live;
    std::vector<UnitOutcome> last;  // its last outcomes, the newest last (at most kPortCells)
  };
  std::string name;
  State state = State::kStopped;
  std::string host;
  long long silent = -1;  // seconds since it was heard of; -1 without a lease
  std::string job;
  std::string lot;
  std::uint64_t quantity = 0;
  int lotPassed = 0;
  int unitsThisHour = 0;
  int passedToday = 0;
  int failedToday = 0;
  std::optional<double> yieldToday;  // passed over written, percent
  std::optional<double> yieldLast;   // of its last kLastUnits units
  std::optional<std::size_t> numbersLeft;
  /// Numbers its counter can still give that its rule can place (beyond the blocks held).
  std::optional<std::uint64_t> counterLeft;
  std::size_t waiting = 0;
  std::string lastUnit;  // when its last unit started (UTC)
  std::vector<Port> ports;

  static constexpr int kLastUnits = 50;
  static constexpr std::size_t kPortCells = 12;
};
const char* StationStateName(StationView::State state);

/// Something a manager must look at.
struct Alarm {
  enum class Kind {
    kLowYield,     // the yield of a station's last units is below the threshold
    kPortFailing,  // a port failed units in a row
    kSilent,       // a station that holds its lease has not been heard of for long
  };
  Kind kind = Kind::kLowYield;
  std::string station;
  std::string port;
  double value = 0;  // the yield, the failures in a row, the seconds of silence
};
const char* AlarmKindName(Alarm::Kind kind);

/// What the factory view is built from: the store's leases and records, read at `now`.
struct FactoryInput {
  struct Records {
    UnitCounts today;           // since local midnight
    UnitCounts thisHour;        // since the hour began
    std::vector<Attempt> last;  // the last units, oldest first
  };
  std::vector<Lease> leases;
  std::map<std::string, StationLive> live;  // by the lease's owner, when it parsed
  std::vector<std::string> stations;        // every station that recorded a unit
  std::map<std::string, Records> records;   // by station
  std::map<std::string, Counter> counters;  // the counters the live states name
  long long grace = 120;                    // seconds: not heard of for longer is gone
};

/// When an alarm is raised.
struct AlarmLimits {
  double yield = 95.0;     // percent, over the last units that wrote a part
  int yieldAtLeast = 10;   // ... when at least this many of them did
  int failuresInARow = 3;  // a port's last units, each failed
  long long silent = 120;  // seconds without a word from a station that holds its lease
  long long quiet = 30;    // seconds after which a held lease is taken as away
};

struct FactorySnapshot {
  std::vector<StationView> stations;  // by name
  std::vector<Alarm> alarms;          // the most urgent first: silent, failing, low yield
};

/// The factory view of `input`: every station, its state and figures, and the alarms.
FactorySnapshot BuildFactory(const FactoryInput& input, const AlarmLimits& limits);

/// The snapshot as the factory view's JSON (codes, not words: the page words them in its
/// reader's language). Every text from the store is escaped.
std::string FactoryJson(const FactorySnapshot& snapshot, const std::string& at);

}  // namespace otp
