#pragma once

#include <QObject>
#include <QThread>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "ops/Production.h"
#include "store/ProductionStore.h"
#include "ui/StationTile.h"

namespace otp {

class SerialPortFactory;

/// The station's figures as the window shows them.
struct StationFigures {
  Counters run;         // this window's units
  int todayPassed = 0;  // from the store, since local midnight
  int todayFailed = 0;
  std::vector<Attempt> last;  // the last 20 attempts, oldest first
  BatchFigures report;        // the station's units since the window opened
};

/// The production run of the station window, on a thread of its own: the store, the
/// journal and the run live there; each port burns on a thread of its own; the window
/// hears of them through callbacks that it turns into queued calls. Methods marked
/// "any thread" may be called from the window's thread.
class StationController final : public QObject, public RunObserver {
 public:
  /// `ports` opens the serial ports (null: QSerialPort).
  StationController(RunSetup setup, std::string storeLocation, std::string journalFolder,
                    SerialPortFactory* ports = nullptr);
  ~StationController() override;

  /// Any thread: the tile of `port` has changed (called on the thread that changed it).
  std::function<void(std::size_t port)> tileChanged;
  /// Any thread: the figures have changed.
  std::function<void()> figuresChanged;
  /// The store opened (`error` empty) or not, with the store's location as it may be shown.
  std::function<void(const std::string& error)> opened;
  /// A round or an auto-started run ended; what its start reported, if it was the first.
  std::function<void(const ProductionRun::End& end, const StartReport* start)> ended;

  /// Opens the store and the journal, on the controller's thread.
  void Open();
  /// One unit on every port (the first call starts the run with `ports`); returns at once.
  void Round(std::vector<PortTarget> ports);
  /// Auto-start until Stop; returns at once.
  void AutoRun(std::vector<PortTarget> ports);
  /// Any thread: stops the run between blocks.
  void Stop();
  /// Any thread: whether a round or an auto-started run is going on.
  bool busy() const { return busy_; }

  /// Any thread: the tile of `port` as it is now, and the figures.
  ui::TileState Tile(std::size_t port) const;
  StationFigures Figures() const;
  std::string storeLocation() const;
  /// Any thread: the counter of the run's serial numbers, once the run started.
  std::optional<Counter> counter() const;

  // RunObserver, called by the run.
  EngineView& ViewFor(std::size_t port) override;
  void OnUnitStart(std::size_t port) override;
  void OnPhase(std::size_t port, UnitPhase phase) override;
  void OnPlan(std::size_t port, const BurnPlan& plan) override;
  void OnNumber(std::size_t port, std::uint64_t number) override;
  void OnLooking(std::size_t port) override;
  void OnBoard(std::size_t port) override;
  void OnPortProblem(std::size_t port, const std::string& reason) override;
  void OnUnitEnd(std::size_t port, const UnitEnd& end) override;
  void AfterSettle(RecordStore& store) override;

 private:
  class TileView;
  void Begin();
  void Run(std::vector<PortTarget> ports, bool autoStart);
  void ReadFigures(RecordStore& store);
  template <typename F>
  void Change(std::size_t port, F change);

  RunSetup setup_;
  std::string location_;
  std::string journalFolder_;
  SerialPortFactory* ports_;
  std::unique_ptr<SerialPortFactory> ownPorts_;
  QThread thread_;
  QObject worker_;  // lives on thread_: calls queued to it run there
  std::unique_ptr<ProductionStore> store_;
  std::unique_ptr<Journal> journal_;
  std::unique_ptr<ProductionRun> run_;
  std::optional<StartReport> start_;
  SystemClock clock_;
  std::atomic<bool> busy_{false};
  std::atomic<bool> stopAsked_{false};

  mutable std::mutex mutex_;  // tiles_, views_, figures_, counter_
  std::vector<ui::TileState> tiles_;
  std::vector<std::unique_ptr<TileView>> views_;
  std::vector<std::chrono::steady_clock::time_point> unitStart_;
  StationFigures figures_;
  std::optional<Counter> counter_;
  std::string opened_;  // when the controller was made: the start of the window's report
};

}  // namespace otp
