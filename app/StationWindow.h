#pragma once

#include <QMainWindow>
#include <QTimer>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/CWriterDlg.h"
#include "app/StationController.h"
#include "ui/ReportView.h"
#include "ui/StationTile.h"

class QCheckBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;
class QTabWidget;

namespace otp {

/// How the station window was opened: `otpwriter --station [-p PORT]... [--db LOCATION]
/// [--lot NAME [--quantity N]] [JOB]`.
struct StationArguments {
  std::vector<std::string> ports;  // empty: the ports used last, else the window's COM port
  std::optional<std::string> db;   // empty: the store used last, else the user's own
  std::string job;                 // a job file, or empty for the window's current choices
  std::string lot;                 // empty: the job's, if it names one
  std::optional<std::uint64_t> quantity;
};

/// Parses the arguments after --station; nothing, with `error`, for a usage error.
std::optional<StationArguments> ParseStationArguments(const std::vector<std::string>& args,
                                                      std::string& error);

/// The production station for operators at a fixture: a tile a port with the outcome in
/// large letters and what to do with the part, counters and yield, the last attempts, a
/// start without the mouse (Enter, Space or a foot switch) and settings the operator cannot
/// change. The second face of the station that otpwriter-cli produce runs: same units,
/// numbers and records.
class StationWindow final : public QMainWindow {
 public:
  StationWindow(StationArguments arguments, WriterEnvironment environment = {},
                QWidget* parent = nullptr);
  ~StationWindow() override;

  /// Starts a unit on every waiting port, as Enter does.
  void OnStart();
  /// Stops the units between blocks.
  void OnStop();
  /// The Auto start switch: on, every port burns each fresh board put on it, on its own;
  /// off, they stop (between blocks; at once when they only look).
  void OnAutoStart(bool on);

  /// File > Open Job...: the station burns the job at `file` from its next start.
  void OpenJob(const std::string& file);

  StationController* controller() { return controller_.get(); }
  ui::StationTile* Tile(std::size_t port) const { return tiles_.at(port); }
  std::size_t tiles() const { return tiles_.size(); }
  /// Why the station cannot burn (a file, the store); empty when it can.
  const std::string& problem() const { return problem_; }
  bool ready() const { return ready_; }
  /// The store the station records in, as it may be shown.
  const std::string& storeLocation() const { return storeLocation_; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool LotComplete();
  void Build();
  // Reads what is burned (the job, or the main window's choices) and makes the run's
  // controller for it.
  void Load();
  // A job that asks for it: the operator types its short checksum from the work order;
  // false for a wrong one.
  bool Confirm();
  void ShowHeader();
  void MakeTiles(const std::vector<std::string>& names);
  void ChoosePorts();
  std::vector<PortTarget> Targets(std::string& error) const;
  void RefreshTiles();
  void RefreshFigures();
  void Ended(const ProductionRun::End& end, const StartReport* start);
  void Say(const std::string& text, bool problem = false);
  void UpdateButtons();
  std::string T(std::string_view english,
                std::initializer_list<std::string_view> values = {}) const;
  // Checks the ports and confirms the job before the first unit; false: nothing starts.
  bool BeforeFirstUnit();

  StationArguments arguments_;
  Language language_;
  std::unique_ptr<SerialPortFactory> ownPorts_;
  std::optional<WriterSetup> setup_;
  PreparedStation prepared_;
  std::string storeLocation_;
  std::string problem_;
  bool ready_ = false;          // the store is open and the image good
  bool confirmNeeded_ = false;  // the job asks the operator to confirm it first
  SerialPortFactory* ports_factory_ = nullptr;
  bool started_ = false;         // the first unit began: the ports are fixed
  bool closeWhenEnded_ = false;  // the operator closed it while units burned
  std::vector<PortTarget> targets_;
  std::unique_ptr<StationController> controller_;

  QLabel* job_ = nullptr;
  QLabel* note_ = nullptr;
  QLabel* target_ = nullptr;
  QLabel* image_ = nullptr;
  QLabel* serial_ = nullptr;
  QLabel* lot_ = nullptr;
  QLabel* store_ = nullptr;
  QLabel* storeState_ = nullptr;
  QLineEdit* ports_ = nullptr;
  QPushButton* choosePorts_ = nullptr;
  QCheckBox* auto_ = nullptr;
  QTabWidget* tabs_ = nullptr;
  QGridLayout* grid_ = nullptr;
  std::vector<ui::StationTile*> tiles_;
  QLabel* counters_ = nullptr;
  QTableWidget* attempts_ = nullptr;
  ui::ReportView* report_ = nullptr;
  QLabel* status_ = nullptr;
  QPushButton* start_ = nullptr;
  QPushButton* stop_ = nullptr;
  std::vector<std::unique_ptr<std::atomic<bool>>> pending_;  // a tile changed since painted
  std::atomic<bool> painting_{false};                        // paint_ runs, or will
  QTimer paint_;
  std::atomic<bool> figuresPending_{false};
  std::atomic<bool> statePending_{false};
};

}  // namespace otp
