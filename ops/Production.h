#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ops/Journal.h"
#include "ops/RecordStore.h"
#include "ops/StoreDesk.h"
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
  std::string station;
  std::string job;     // the job's name, empty without one
  std::string jobSum;  // its short checksum
  int retries = 2;
  Language language = Language::kEnglish;
  std::string moduleDir;                 // the program's folder, ending with a separator
  std::vector<std::string> monitorDirs;  // the folders a monitor file is looked for in
};

/// The largest number `rule` can hold (and below 2^63, the store's limit).
std::uint64_t LargestNumber(const SerialRule& rule);

/// Counts of a run's units.
struct Counters {
  int passed = 0;
  int failed = 0;
  int total() const { return passed + failed; }
  double seconds = 0;  // since the run's first unit began
  double UnitsPerHour() const { return seconds > 0 ? total() * 3600.0 / seconds : 0; }
};

/// How a unit ended, as recorded (or kept in the journal when the store failed).
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
    kStore,         // the store failed (`detail`); what it did not take stays journaled
    kJournal,       // the journal could not be opened (`detail`)
    kCounterStart,  // the given first number disagrees with the existing counter
    kCounterStep,   // the given step disagrees with the existing counter
    kCounterFull,   // the counter's next number does not fit the rule
    kSerialRule,    // the rule cannot place numbers in this image (`detail`)
  };
  Problem problem = Problem::kNone;
  std::string detail;
  Counter counter;                        // with a rule: the counter as it is now
  bool newCounter = false;                // made by this start
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
  /// A unit ended and was settled (its thread, once the store answered).
  virtual void OnUnitEnd(std::size_t port, const UnitEnd& end) = 0;
  /// On the store's thread, after each unit was settled: a face may read the store.
  virtual void AfterSettle(RecordStore& store) { (void)store; }
};

/// A production run: unit after unit on every port, a serial number into each, every
/// attempt kept in the journal, then settled with its number in one transaction of the
/// store. The store and the journal are used only on the thread that made the run; each
/// port burns on a thread of its own with an engine of its own.
class ProductionRun {
 public:
  ProductionRun(RunSetup setup, RecordStore& store, Journal& journal, SerialPortFactory& ports,
                Clock& clock, RunObserver& observer);
  ~ProductionRun();

  /// Before the first unit: takes the store's lease, replays what journals of stopped
  /// processes hold, records the numbers that dead owners of this station held, and
  /// checks (or makes) the counter.
  StartReport Start();

  /// How a round or an auto-started run ended.
  struct End {
    bool storeFailed = false;
    std::string storeError;
    bool numbersExhausted = false;  // the counter's next number does not fit the rule
    std::vector<Attempt> waiting;   // units the journal holds and the store does not
    /// Units that neither the journal nor the store could take: known only here.
    std::vector<Attempt> unsaved;
    /// Units of this run that the store refused: moved to the journal's set-aside file.
    std::vector<std::pair<Attempt, std::string>> refused;
    int lastUnitsFailed = 0;  // units of this call that did not pass
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

  const RunSetup& setup() const { return setup_; }
  Counters counters() const;
  /// The verdict of each port's last unit (pass before any).
  std::vector<UnitVerdict> LastVerdicts() const;

  /// Time between two looks of a port for a board: the handshake at most every 250 ms.
  static constexpr std::chrono::milliseconds kLookInterval{250};
  /// How long a look waits for the board's answer.
  static constexpr std::chrono::milliseconds kLookAnswer{60};

 private:
  struct Port;
  // One unit on `port`; `order` for a round's numbers in port order; `found` when an
  // auto-start look found the board.
  void RunPortUnit(std::size_t port, PortOrder* order, bool found);
  // Auto-start: looks for a board on `port` until one answers or the run stops.
  bool LookForBoard(std::size_t port);
  // False once the store failed: no new unit starts.
  bool StoreAnswers() const;
  // Retries what this process's journal holds and the store does not, and what neither
  // could take; false (the store's error kept) if the store is away.
  bool SettlePending(StoreError& error);
  // Records a unit of a stopped process; what the store refuses goes to `refused`.
  bool Replay(const Attempt& attempt, const std::string& owner, StoreError& error);
  Attempt NewUnit(std::size_t port);
  void Settle(UnitEnd& end);
  // Settles the journal before a run; false (the store's error kept) if it cannot.
  bool Begin();
  // Runs `unitsOn(port)` for every port on its own thread while this thread serves the store.
  End RunPorts(const std::function<void(std::size_t)>& unitsOn);
  End Finish(int failedUnits);

  RunSetup setup_;
  RecordStore& store_;
  Journal& journal_;
  SerialPortFactory& portFactory_;
  Clock& clock_;
  RunObserver& observer_;
  StoreDesk desk_;
  std::vector<std::unique_ptr<Port>> ports_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;  // counters_, lastVerdicts_, storeError_, unitSequence_
  Counters counters_;
  std::optional<std::chrono::microseconds> firstUnit_;
  std::vector<UnitVerdict> lastVerdicts_;
  std::string storeError_;
  std::vector<UnitEnd> unsaved_;  // ended units that neither journal nor store holds
  std::vector<std::pair<Attempt, std::string>> refused_;
  bool exhausted_ = false;
  std::uint64_t unitSequence_ = 0;
};

/// Now, UTC, ISO 8601 ("2026-12-07T12:34:56Z").
std::string IsoNow(Clock& clock);

}  // namespace otp
