#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ops/Engine.h"
#include "ops/Factory.h"
#include "ops/Notes.h"
#include "ops/RecordStore.h"
#include "ops/Unit.h"
#include "ops/journal/Journal.h"

namespace otp {

/// Everything a production run burns, decided before its first unit and never changed
/// by it: the image, the serial rule and counter, the ports.
struct RunSetup {
  std::vector<PortTarget> ports;  // model and speed are the same for all
  std::string imageName;          // the image file's name, or the job's
  FlashImage image{};
  std::uint32_t crc32 = 0;  // over the OTP area
  std::optional<SerialRule> rule;
  std::string counter = "serial";
  std::optional<std::uint64_t> serialStart;  // as given: checked against the counter
  std::optional<std::uint64_t> serialStep;
  bool resume = false;
  ResetMethod reset{ResetMethod::Kind::kNone, {}};
  ReadMode reading = ReadMode::kArea;
  std::string station;
  std::string job;                        // the job's name, empty without one
  std::string jobSum;                     // its short checksum
  std::string lot;                        // the lot the units belong to, empty without one
  std::optional<std::uint64_t> quantity;  // the lot's parts to pass
  /// Numbers held ahead: enough for this much work at the station's pace (at least two
  /// a port); unless given, the store's setting, else kDefaultBlockTime. An exact count
  /// instead, when given.
  std::optional<std::chrono::seconds> blockTime;
  std::optional<std::size_t> blockSize;
  int retries = 2;
  Language language = Language::kEnglish;
  std::string moduleDir;                 // the program's folder, ending with a separator
  std::vector<std::string> monitorDirs;  // the folders a monitor file is looked for in
};

/// The grace time a site gives a station that is not heard of before its numbers are
/// settled by others, unless the store's setting says otherwise.
inline constexpr std::chrono::seconds kDefaultGrace{120};
/// The work that the numbers held ahead are enough for, unless the job or the store says.
inline constexpr std::chrono::seconds kDefaultBlockTime{600};
/// The store's settings: the grace time and the default block time, in seconds.
inline constexpr const char* kGraceSetting = "grace_seconds";
inline constexpr const char* kBlockSetting = "block_seconds";

/// Counts of a run's units by what became of their parts.
struct Counters {
  /// By outcome and by whether each wrote its part; a port problem counts no unit.
  UnitCounts units;
  int interrupted = 0;  // units that the operator stopped
  int passed() const { return units.passed(); }
  int failed() const { return units.failed(); }  // written and not passed
  int total() const { return units.units(); }
  /// Passed over written, in percent; 0 while no part was written.
  double Yield() const { return units.YieldPercent().value_or(0); }
  double seconds = 0;  // since the run's first unit began
  /// Units an hour, once the run has worked long enough to say (ten minutes).
  std::optional<double> UnitsPerHour() const {
    if (seconds < 600) return std::nullopt;
    return total() * 3600.0 / seconds;
  }
};

/// Where a unit's record is once its unit ended.
enum class RecordPlace {
  kStored,   // the store holds it
  kJournal,  // the journal holds it: it reaches the store once the store answers
  kRefused,  // the store refused it: it is kept in the journal's set-aside file
  kNowhere,  // neither the journal nor the store: known only to this process, for now
  kNone,     // there is nothing to record: nothing was sent to the part
};

/// "stored", "journal", "refused", "nowhere", "none": where a record is, in JSON.
const char* RecordPlaceName(RecordPlace place);

/// How a unit ended: its record, where the record is, and what a person must hear of it.
struct UnitEnd {
  Attempt record;
  UnitResult result;
  RecordPlace place = RecordPlace::kNone;
  std::vector<Note> notes;
  Counters counters;  // the run's, this unit counted
};

/// What happened before the first unit of a run.
struct StartReport {
  enum class Problem {
    kNone,
    kStore,         // the store failed or is away (`detail`)
    kJournal,       // the journal could not be opened (`detail`)
    kCounterStart,  // the given first number disagrees with the existing counter
    kCounterStep,   // the given step disagrees with the existing counter
    kCounterFull,   // the counter's next number does not fit the rule
    kSerialRule,    // the rule cannot place numbers in this image (`detail`)
    kLotComplete,   // the lot has passed all its parts already
  };
  Problem problem = Problem::kNone;
  std::string detail;
  Counter counter;                        // with a rule: the counter as it is now
  bool newCounter = false;                // made by this start
  std::optional<Lot> lot;                 // with a lot: it, as it is now
  std::vector<Attempt> replayed;          // units of stopped processes now recorded
  std::vector<Journal::Skipped> skipped;  // in the journal folder, and no journal
  /// Journals of stopped processes whose units the store refused: kept under a new
  /// name for a person to check, and not replayed again.
  struct SetAside {
    std::filesystem::path file;
    std::filesystem::path aside;  // empty: it could not be renamed
    std::string reason;           // the store's words
    std::size_t units = 0;
  };
  std::vector<SetAside> setAside;
  /// Journals of stopped processes with a damaged line: none of their units is recorded,
  /// every number their station held is spoiled, and the file is kept for a person.
  struct Damaged {
    std::filesystem::path file;
    std::filesystem::path aside;  // empty: it could not be renamed
    JournalDamage damage;
    std::vector<std::uint64_t> spoiled;                     // the numbers spoiled for it
    std::set<std::pair<std::string, std::uint64_t>> named;  // the numbers its lines name
  };
  std::vector<Damaged> damaged;
  /// All of the above, and the problem when there is one, as a person reads it.
  std::vector<Note> notes;
  /// Numbers of stopped processes given back (never on a part) or spoiled (perhaps on
  /// one: its station is gone and its journal is elsewhere).
  std::size_t released = 0;
  std::size_t spoiled = 0;
};

/// What a face shows of a run between units: the store, the records that wait for it,
/// the numbers held ahead, the lot.
struct RunState {
  bool storeAway = false;
  std::string storeError;                   // why, when away
  std::size_t waiting = 0;                  // records the journal holds and the store does not yet
  std::optional<std::size_t> numbersLeft;   // with a rule: numbers left in the block
  std::optional<std::uint64_t> nextNumber;  // the number the next unit takes
  std::optional<Lot> lot;                   // passed so far counts this run's units
};

/// The face of a production run: it shows what the run does and never decides. Called
/// on the run's thread and on the ports' threads; implementations must be thread-safe.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  /// The view that port `port`'s engine shows its operations on, for the whole run.
  virtual EngineView& ViewFor(std::size_t port) = 0;
  /// A unit begins on `port` (its thread).
  virtual void OnUnitStart(std::size_t port) { (void)port; }
  virtual void OnPhase(std::size_t port, UnitPhase phase) { (void)port, (void)phase; }
  virtual void OnPlan(std::size_t port, const BurnPlan& plan) { (void)port, (void)plan; }
  virtual void OnNumber(std::size_t port, std::uint64_t number) { (void)port, (void)number; }
  /// Auto-start: `port` waits for a board to be put in; a board answered.
  virtual void OnLooking(std::size_t port) { (void)port; }
  virtual void OnBoard(std::size_t port) { (void)port; }
  /// Auto-start: `port`'s device cannot be opened (`reason`); it is tried again at each
  /// look, and told once until it opens.
  virtual void OnPortProblem(std::size_t port, const std::string& reason) {
    (void)port, (void)reason;
  }
  /// `port` takes no board: its lot is complete (its thread).
  virtual void OnLotComplete(std::size_t port) { (void)port; }
  /// `port` takes no board for now: the lot's last places are held by units that still
  /// burn, here or at other stations (`lot` as the store counts it), which may give some
  /// back (its thread).
  virtual void OnNoPlace(std::size_t port, const Lot& lot) { (void)port, (void)lot; }
  /// A unit ended (its thread), recorded or waiting for the store.
  virtual void OnUnitEnd(std::size_t port, const UnitEnd& end) = 0;
  /// The run's state changed: the store went away or came back, records wait, numbers
  /// were taken, the lot's count changed (the run's keeper thread, one call at a time).
  virtual void OnState(const RunState& state) { (void)state; }
};

}  // namespace otp
