#pragma once

// A production run, by concern (ops/production/):
//   RunTypes.h   what a run burns, what it reports, the face it reports to
//   Start.cpp    the start: lease, leftovers, counter, lot, the first numbers
//   Leftovers    what stopped stations left: journals replayed, guesses, spoiled numbers
//   Block        the numbers (and places) held ahead, and their refill
//   Settler      records: journal first, then the store, its answers
//   Live         what the station publishes of itself for the factory view
//   Ports.cpp    a unit on a port, rounds and auto start
//   Run.cpp      the run itself: its keeper thread, its counters and state, the end
//   Notes        what a start, a unit and an end tell a person: catalogue numbers, arguments
//
// Locks. Each part owns one lock and never calls out while it holds it: no callback into
// a face, no call to the store or another part is made with a lock held. Two locks are
// ever held at once only in this order, innermost last:
//   the run's, a block's, the settler's  ->  the store service's  ->  the journal's
// (the store service's and the journal's are held only inside their own calls). The
// keeper's Wakeup and the PortOrder of a round hold theirs only to wait and to notify.

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

#include "ops/PortOrder.h"
#include "ops/StoreService.h"
#include "ops/journal/Journal.h"
#include "ops/production/Ask.h"
#include "ops/production/Block.h"
#include "ops/production/Live.h"
#include "ops/production/RunTypes.h"
#include "ops/production/Settler.h"
#include "ops/production/Wakeup.h"

namespace otp {

/// A production run: unit after unit on every port, a serial number into each from a
/// block the station holds ahead, every attempt kept in the journal first, then settled
/// with its number in one transaction of the store. The store is a service that may go
/// away: units go on from the block while it does, their records wait in the journal and
/// reach it, in order, once it answers. Each port burns on a thread of its own with an
/// engine of its own.
/// What a person hears of a start: `report`'s journals, units, numbers and problem as
/// notes, in that order.
void AddStartNotes(StartReport& report, const RunSetup& setup);

/// The note of a unit whose record the store refused.
Note RefusedNote(const Attempt& unit, const std::string& reason);

class ProductionRun {
 public:
  ProductionRun(RunSetup setup, StoreService& store, Journal& journal, SerialPortFactory& ports,
                Clock& clock, RunObserver& observer);
  /// Close(), then waits for nothing.
  ~ProductionRun();
  ProductionRun(const ProductionRun&) = delete;
  ProductionRun& operator=(const ProductionRun&) = delete;

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
      kPlacesSpent,       // no place of the lot left in the block and the store is away
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
    /// Why it stopped the station, the records refused, unsaved or waiting, as a person
    /// reads them.
    std::vector<Note> notes;
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
  /// How long a start, or a port whose block is empty, waits for the store.
  static constexpr std::chrono::milliseconds kStoreWait = production::kStoreWait;
  /// How often the lot is counted again while the run works: the other stations' units.
  static constexpr std::chrono::seconds kLotInterval{5};

 private:
  // A port of the run: its engine, shown on the face's view of the port.
  struct Port {
    Port(EngineView& view, Clock& clock, EngineOptions options) : engine(view, clock, options) {}
    Engine engine;
  };
  // The start's work (ops/production/Start.cpp); Start adds the keeper when it went well.
  StartReport Begin();
  // What a port may burn next: a place of the lot (with a quantity), or the unit may go
  // on without one (no quantity). Nothing when the lot has no place for it: complete,
  // its last places held by other stations, or none left in the block while the store
  // is away (the run then ends, saying why).
  struct Turn {
    bool go = false;
    std::optional<std::uint64_t> place;
  };
  Turn TakeTurn(std::size_t port, std::chrono::milliseconds wait);
  // A place taken and not burned goes back into the block.
  void GiveBack(const Turn& turn);
  // The lot as the store counts it now (waiting at most `wait`); false when it did not
  // answer.
  bool RefreshLot(std::chrono::milliseconds wait);
  // One unit on `port`, on `turn`; `order` for a round's numbers in port order; `found`
  // when an auto-start look found the board.
  void RunPortUnit(std::size_t port, PortOrder* order, bool found, Turn turn);
  // Auto-start: looks for a board on `port` until one answers or the run stops.
  bool LookForBoard(std::size_t port);
  // Whether another unit may start: not stopped, the run not ended for good.
  bool MayGoOn() const;
  Attempt NewUnit(std::size_t port);
  // The next number of the block, taken for `unit` (its journal line written); nothing
  // when there is none (the run then ends, saying why).
  std::optional<std::uint64_t> TakeNumber(Attempt& unit);
  // The numbers a full block holds: enough for the block's time at the station's pace.
  std::size_t BlockTarget() const;
  // The places of the lot held ahead: as many as the numbers, but never more than a
  // quarter of the parts the lot still needs (at least one a port), so that the stations
  // that share it share its end.
  std::size_t PlaceTarget() const;
  // Runs `unitsOn(port)` for every port on its own thread while the keeper keeps the
  // journal, the block and the faces up to date.
  End RunPorts(const std::function<void(std::size_t)>& unitsOn);
  End Finish(int failedUnits);
  // The keeper's loop: answers, block, live state and the face's state, until Close.
  void KeepUp();
  // Port `port`'s state as the station publishes it.
  void SetPortLive(std::size_t port, StationLive::Port::State state,
                   std::optional<std::uint64_t> serial, std::optional<UnitOutcome> outcome);
  // The run's part of what the station publishes, from its state now.
  StationLive RunLive(const RunState& now) const;

  RunSetup setup_;
  StoreService& store_;
  Journal& journal_;
  SerialPortFactory& portFactory_;
  Clock& clock_;
  RunObserver& observer_;
  std::shared_ptr<production::Wakeup> wake_;
  production::HeldBlock numbers_;
  std::unique_ptr<production::HeldBlock> places_;  // with a lot's quantity
  production::RecordSettler settler_;
  production::LivePublisher live_;
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
  std::uint64_t unitSequence_ = 0;
  std::uint64_t largest_ = 0;  // the rule's largest number
  std::optional<Lot> lot_;  // as the store last counted it
  std::optional<std::chrono::microseconds> lotRead_;  // when
  std::thread keeper_;
};

}  // namespace otp
