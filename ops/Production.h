#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ops/Factory.h"
#include "ops/Journal.h"
#include "ops/PortOrder.h"
#include "ops/RecordStore.h"
#include "ops/StoreService.h"
#include "ops/Unit.h"

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

/// The largest number `rule` can hold (and below 2^63, the store's limit).
std::uint64_t LargestNumber(const SerialRule& rule);

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
  int passed = 0;
  int failed = 0;  // written and spoiled
  int other = 0;   // stopped, already programmed, wrong part, board gone: no yield
  int total() const { return passed + failed + other; }
  double Yield() const { return passed + failed > 0 ? 100.0 * passed / (passed + failed) : 0; }
  double seconds = 0;  // since the run's first unit began
  /// Units an hour, once the run has worked long enough to say (ten minutes).
  std::optional<double> UnitsPerHour() const {
    if (seconds < 600) return std::nullopt;
    return total() * 3600.0 / seconds;
  }
};

/// How a unit ended, as recorded (or kept in the journal when the store is away).
struct UnitEnd {
  Attempt record;
  UnitResult result;
  bool stored = false;       // the store holds it
  std::string storeError;    // why not
  bool journaled = true;     // the journal holds its outcome
  std::string journalError;  // why not
  Counters counters;         // the run's, this unit counted
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
  /// A unit ended (its thread), recorded or waiting for the store.
  virtual void OnUnitEnd(std::size_t port, const UnitEnd& end) = 0;
  /// The run's state changed: the store went away or came back, records wait, numbers
  /// were taken (any thread).
  virtual void OnState(const RunState& state) { (void)state; }
};

/// A production run: unit after unit on every port, a serial number into each from a
/// block the station holds ahead, every attempt kept in the journal first, then settled
/// with its number in one transaction of the store. The store is a service that may go
/// away: units go on from the block while it does, their records wait in the journal and
/// reach it, in order, once it answers. Each port burns on a thread of its own with an
/// engine of its own.
class ProductionRun {
 public:
  ProductionRun(RunSetup setup, StoreService& store, Journal& journal, SerialPortFactory& ports,
                Clock& clock, RunObserver& observer);
  /// Close(), then waits for nothing.
  ~ProductionRun();

  /// Before the first unit: takes the store's lease, records what stopped stations left
  /// (their journals here, their numbers there), checks (or makes) the counter and the
  /// lot, and takes the first block of numbers. From then until Close, a thread of the
  /// run's writes the store's answers into the journal, keeps the block filled and tells
  /// the face what changed, between units as well as during them.
  StartReport Start();

  /// How a round or an auto-started run ended.
  struct End {
    enum class Why {
      kDone,              // the round ended, or the run was stopped
      kBlockSpent,        // no number left in the block and the store is away
      kNumbersExhausted,  // the counter's next number does not fit the rule
      kJournal,           // the journal could not be written: nothing is burned without it
      kLotComplete,       // the lot's parts have passed
    };
    Why why = Why::kDone;
    std::string storeError;        // the store's words, when it is away
    std::string journalError;      // kJournal: the journal's
    std::vector<Attempt> waiting;  // units the journal holds and the store does not yet
    /// Units that neither the journal nor the store could take: known only here.
    std::vector<Attempt> unsaved;
    /// Units of this run that the store refused: moved to the journal's set-aside file.
    std::vector<std::pair<Attempt, std::string>> refused;
    int lastUnitsFailed = 0;  // units of this call that did not pass
    bool stopsTheStation() const { return why != Why::kDone; }
  };
  /// One unit on every port at once, numbers in port order.
  End Round();
  /// Auto-start: every port looks for a fresh board on its own and burns each one it
  /// finds, until Stop.
  End AutoRun();

  /// Stops the run: units stop between blocks, looking ports at once. Any thread. The
  /// run never undoes a stop: only ClearStop does, when the operator starts again.
  void Stop() { stop_ = true; }
  bool stopped() const { return stop_; }
  /// The operator starts again after a Stop. A face calls it when the operator asks,
  /// before it asks for the next Round or AutoRun; a Stop after it still holds.
  void ClearStop() { stop_ = false; }

  /// Ends the run for good: the numbers left in the block go back to the store and the
  /// lease is given up, waiting for the store at most `deadline`. Any thread, once no
  /// round runs.
  void Close(std::chrono::milliseconds deadline = std::chrono::seconds(1));

  const RunSetup& setup() const { return setup_; }
  Counters counters() const;
  RunState state() const;
  /// The outcome of each port's last unit (pass before any).
  std::vector<UnitOutcome> LastOutcomes() const;

  /// Time between two looks of a port for a board: the handshake at most every 250 ms.
  static constexpr std::chrono::milliseconds kLookInterval{250};
  /// How long a look waits for the board's answer.
  static constexpr std::chrono::milliseconds kLookAnswer{60};
  /// How long a unit's end waits for the store to confirm its record.
  static constexpr std::chrono::milliseconds kSettleWait{2000};
  /// The live state goes to the store at most this often.
  static constexpr std::chrono::milliseconds kLiveInterval{1000};
  /// The most numbers asked of the store at once.
  static constexpr std::size_t kRefillShare = 128;
  /// How long a start, or a port whose block is empty, waits for the store.
  static constexpr std::chrono::milliseconds kStoreWait{15000};

  struct Shared;  // what the store's jobs share with the run (ops/Production.cpp)

 private:
  struct Port;
  // One unit on `port`; `order` for a round's numbers in port order; `found` when an
  // auto-start look found the board.
  /// `placed`: whether the round gave the port a place in the lot (already counted as in
  /// flight); without it the port takes one itself, as auto start's boards come.
  /// Counts a unit in flight unless the lot has no part left for it.
  bool TakeLotPlace();
  void RunPortUnit(std::size_t port, PortOrder* order, bool found,
                   std::optional<bool> placed = std::nullopt);
  // Auto-start: looks for a board on `port` until one answers or the run stops.
  bool LookForBoard(std::size_t port);
  // Whether another unit may start: not stopped, the run not ended for good.
  bool MayGoOn() const;
  Attempt NewUnit(std::size_t port);
  // The next number of the block, taken for `unit` (its journal line written); nothing
  // when there is none (the run then ends, saying why).
  std::optional<std::uint64_t> TakeNumber(Attempt& unit);
  // Asks the store for more numbers when the block runs low.
  void TopUp();
  std::size_t BlockTarget() const;
  // The unit's end: on disk, then to the store, waiting a moment for its answer.
  void Settle(UnitEnd& end);
  // Posts to the store what the journal holds and it does not, and retries what neither
  // could hold.
  void PostPending();
  // Writes the store's answers that no port waited for into the journal.
  void ApplyAnswers();
  // Records a unit of a stopped process, or sets its journal aside.
  bool Replay(const Attempt& attempt, const std::string& owner, StoreError& error);
  // Runs `unitsOn(port)` for every port on its own thread while this thread keeps the
  // journal, the block and the faces up to date.
  End RunPorts(const std::function<void(std::size_t)>& unitsOn);
  End Finish(int failedUnits);
  void Publish();
  // Start's work; Start adds the keeper when it went well.
  StartReport Begin();
  // The keeper's loop: answers, block and state, until Close.
  void KeepUp();
  // Sends the live state to the store when it changed, at most once each kLiveInterval.
  void PostLive();
  // Port `port`'s state as the station publishes it.
  void SetPortLive(std::size_t port, StationLive::Port::State state,
                   std::optional<std::uint64_t> serial, std::optional<UnitOutcome> outcome);
  // Records what stopped stations left, as far as it can be known.
  bool SettleLeftovers(StartReport& report, StoreError& error);

  RunSetup setup_;
  StoreService& store_;
  Journal& journal_;
  SerialPortFactory& portFactory_;
  Clock& clock_;
  RunObserver& observer_;
  std::shared_ptr<Shared> shared_;
  std::vector<std::unique_ptr<Port>> ports_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> closed_{false};
  mutable std::mutex mutex_;  // what follows
  Counters counters_;
  std::optional<std::chrono::microseconds> firstUnit_;
  std::vector<UnitOutcome> lastOutcomes_;
  std::chrono::seconds blockTime_{kDefaultBlockTime};
  double unitSeconds_ = 0;  // the average unit's time, for the block's size
  int unitsTimed_ = 0;
  End::Why why_ = End::Why::kDone;
  std::string journalError_;
  std::vector<UnitEnd> unsaved_;  // ended units that the journal could not hold
  std::vector<std::pair<Attempt, std::string>> refused_;  // units the store refused
  std::uint64_t unitSequence_ = 0;
  std::uint64_t largest_ = 0;  // the rule's largest number
  std::optional<Lot> lot_;
  int inFlight_ = 0;       // units of the lot that have taken a place and not ended
  std::mutex publishing_;  // one OnState at a time
  std::thread keeper_;
};

/// Now, UTC, ISO 8601 ("2026-12-07T12:34:56Z").
std::string IsoNow(Clock& clock);

}  // namespace otp
