#pragma once

#include <QDialog>
#include <QIcon>
#include <QStringList>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "core/Catalogue.h"
#include "core/Clock.h"
#include "core/ResultReporter.h"
#include "link/SerialPort.h"
#include "ops/CWriter.h"
#include "ops/Setup.h"
#include "ui/CProgressDlg.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace otp {

/// What the main window works with; every part left unset takes the running program's.
struct WriterEnvironment {
  std::string programDir;                  // the program's folder (default: the executable's)
  Clock* clock = nullptr;                  // default: the system clock
  SerialPortFactory* ports = nullptr;      // default: serial ports through QSerialPort
  std::optional<Language> language;        // default: the system's user-interface language
  std::optional<FileLocations> locations;  // default: where this process keeps its files
  /// Starts a program with these arguments, on its own (default: this program, detached).
  std::function<bool(const std::vector<std::string>&)> startProgram;
};

/// The main window: the model, speed, COM port and S-record file, the OTP area of the
/// model, and the four operation buttons. Owns the writer and the progress dialog.
class CWriterDlg : public QDialog {
 public:
  explicit CWriterDlg(QWidget* parent = nullptr, WriterEnvironment environment = {});
  ~CWriterDlg() override;

  /// Moves every bound value from the controls into the members (true) or back (false),
  /// in the order of the bindings. Reading fails when a box holds more than 7 characters.
  bool UpdateData(bool saveAndValidate);

  // Handlers of the message map.
  void OnSysCommand(unsigned commandId, long position);
  void OnProgramVerify();
  void OnReadCompare();
  void OnBlankCheck();
  void OnDownload();
  void OnKillfocusHexFile();
  void OnSelchangeCpu();
  void OnSelchangeSpeed();
  void OnSelchangeComPort();
  void OnAbout();
  void OnHexFileSelect();
  void OnDropFiles(const QStringList& files);
  void OnExit();
  /// File > Check Against Device...: the burn plan of the Hex File against the part.
  void OnCheckAgainstDevice();
  /// File > Read Device to File...: the OTP area into a file of a format the operator picks.
  void OnReadDeviceToFile();
  /// File > Production Station...: the station window with the current choices, as a
  /// program of its own (it needs the port: this window's link is closed first).
  void OnProductionStation();
  /// File > Save Job...: a job of the current choices (model, clock, Hex File) with the
  /// name, serial rule and note the engineer gives, saved where the engineer says.
  void OnSaveJob();

  /// Button sets: idle (only Download and the COM list usable), ready (all usable).
  void ApplyIdleSet();
  void ApplyReadySet();
  /// Closes the link, then applies the idle set.
  void ReturnToIdle();

  void GetChipSpec();
  void LoadSettings();
  void SaveSettings();

  const std::string& moduleDir() const { return m_writer.m_strModuleDir; }
  /// The folder that the scratch files are deleted from at the end; empty for none.
  std::string scratchDir() const { return setup_ ? setup_->scratchDir() : std::string(); }
  CWriter& writer() { return m_writer; }
  CProgressDlg& progress() { return m_dlgProgress; }
  Reporter& reporter() { return reporter_; }

  // Members bound to the controls.
  std::string m_strStart = "C000H";
  std::string m_strEnd = "FFFFH";
  std::string m_strSize = "4000H";
  std::string m_strHexFile;
  int m_nCpu = 0;
  int m_nRate = 2;
  std::string m_strComPort;
  QIcon m_hIcon;

 protected:
  void accept() override;
  void reject() override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
#ifdef Q_OS_WIN
  bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

 private:
  void OnInitDialog(const FileLocations& locations);
  /// Runs `operation` in a new progress window with `caption`, then destroys the window.
  /// When the window cannot be created nothing runs: a waiting report without a window
  /// could never be acknowledged.
  bool RunInProgressWindow(const char* caption, const std::function<void()>& operation);
  void BuildWindow();
  void BindMessageMap();
  void FormatAreaBoxes();
  /// The menu commands that, as the operation buttons, need a Download first.
  void SetReadyCommands(bool enabled);
  void UpdateComToolTips();
  /// The first COM list entry that begins with `name`, ignoring case; -1 when none does.
  int FindComEntry(const std::string& name) const;

  QWidget* Control(int id) const {
    return controls_.at(id);
  }
  QPushButton* Button(int id) const;
  QComboBox* List(int id) const;
  QLineEdit* Edit(int id) const;

  std::unique_ptr<Clock> ownClock_;
  std::unique_ptr<SerialPortFactory> ownPorts_;
  Clock& clock_;
  SerialPortFactory& ports_;
  Language language_;
  std::function<bool(const std::vector<std::string>&)> startProgram_;
  std::map<int, QWidget*> controls_;
  std::map<int, class QAction*> commands_;
  std::optional<WriterSetup> setup_;
  bool unreadableSettingsShown_ = false;

  CProgressDlg m_dlgProgress;
  ResultReporter reporter_;
  CWriter m_writer;
};

}  // namespace otp
