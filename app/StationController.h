#pragma once

#include <QObject>
#include <QThread>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "ops/Station.h"
#include "store/ProductionStore.h"
#include "ui/StationTile.h"

namespace otp {

class SerialPortFactory;

/// The station's figures as the window shows them.
struct StationFigures {
  Counters run;               // this window's units
  UnitCounts today;           // this station's units of this job since local midnight
  std::vector<Attempt> last;  // the store's last 20 attempts, oldest first
  BatchFigures report;        // the station's units since the window opened
  std::optional<Counter> counter;
  std::optional<std::uint64_t> next;  // the number the store gives next, before the run
};

/// The production station of the station window, on threads of its own: the station
/// (its store, journal and run) on one, each port on its own, and the window's figures
/// read on a store connection of their own, beside the production path. The window hears
/// of them through callbacks that it turns into queued calls. Methods marked "any
/// thread" may be called from the window's thread.
class StationController final : public QObject, public RunObserver {
 public:
  /// What the window hears, each on the thread that has the news (the window turns each
  /// into a queued call). Given once, before any thread of the controller runs.
  struct Callbacks {
    /// The tile of `port` has changed.
    std::function<void(std::size_t port)> tileChanged;
    /// The figures have changed.
    std::function<void()> figuresChanged;
    /// The store answered the figures' first reading (`error` empty) or not.
    std::function<void(const std::string& error)> opened;
    /// A round or an auto-started run ended; what its start reported, if it was the first.
    std::function<void(const ProductionRun::End& end, const StartReport* start)> ended;
    /// The store went away or came back, records wait, numbers were taken.
    std::function<void()> stateChanged;
  };

  /// `ports` opens the serial ports (null: QSerialPort).
  StationController(RunSetup setup, Station::Options where, Callbacks callbacks,
                    SerialPortFactory* ports = nullptr);
  ~StationController() override;

  /// Opens the store for the figures, and reads them.
  void Open();
  /// One unit on every port (the first call opens the station with `ports`); returns at
  /// once.
  void Round(std::vector<PortTarget> ports);
  /// Auto-start until Stop; returns at once.
  void AutoRun(std::vector<PortTarget> ports);
  /// Any thread: stops the run between blocks.
  void Stop();
  /// Any thread: whether a round or an auto-started run is going on.
  bool busy() const { return busy_; }

  /// Any thread: the tile of `port` as it is now, the figures, the run's state.
  ui::TileState Tile(std::size_t port) const;
  StationFigures Figures() const;
  RunState state() const;
  std::string storeLocation() const;
  /// Any thread: the counter of the run's serial numbers, once read.
  std::optional<Counter> counter() const;

  // RunObserver, called by the run.
  EngineView& ViewFor(std::size_t port) override;
  void OnUnitStart(std::size_t port) override;
  void OnLotComplete(std::size_t port) override;
  void OnNoPlace(std::size_t port, const Lot& lot) override;
  void OnPhase(std::size_t port, UnitPhase phase) override;
  void OnPlan(std::size_t port, const BurnPlan& plan) override;
  void OnNumber(std::size_t port, std::uint64_t number) override;
  void OnLooking(std::size_t port) override;
  void OnBoard(std::size_t port) override;
  void OnPortProblem(std::size_t port, const std::string& reason) override;
  void OnUnitEnd(std::size_t port, const UnitEnd& end) override;
  void OnState(const RunState& state) override;

 private:
  class TileView;
  struct FiguresState;
  void Begin();
  void Run(std::vector<PortTarget> ports, bool autoStart);
  // Asks the figures' store for them, beside the production path: one reading at a
  // time, one more when asked meanwhile.
  void RequestFigures();
  template <typename F>
  void Change(std::size_t port, F change);

  RunSetup setup_;
  Station::Options where_;
  const Callbacks callbacks_;
  SerialPortFactory* ports_;
  std::unique_ptr<SerialPortFactory> ownPorts_;
  QThread thread_;
  QObject worker_;  // lives on thread_: calls queued to it run there
  StoreService figuresStore_;
  std::shared_ptr<FiguresState> figures_;
  std::unique_ptr<Station> station_;
  std::optional<StartReport> start_;
  SystemClock clock_;
  std::atomic<bool> busy_{false};
  std::atomic<bool> stopAsked_{false};

  mutable std::mutex mutex_;  // tiles_, views_, runState_, and station_ as it is set
  std::vector<ui::TileState> tiles_;
  std::vector<std::unique_ptr<TileView>> views_;
  std::vector<std::chrono::steady_clock::time_point> unitStart_;
  RunState runState_;
  std::string opened_;  // when the controller was made: the start of the window's report
};

}  // namespace otp
