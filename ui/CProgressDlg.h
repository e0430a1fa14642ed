#pragma once

#include <QPointer>
#include <QWidget>
#include <memory>
#include <string>

#include "core/Catalogue.h"
#include "core/OperationView.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace otp {

class ProgressWindow;

/// The progress dialog of every operation: a bar, a status text with an icon, the Cancel
/// button (relabelled "Ok" for results) and a normally hidden Continue button.
///
/// The object lives as long as the main window; its window exists from Create to
/// DestroyWindow. While the window exists it disables its owner. Nothing closes the
/// window but DestroyWindow: the button, Enter, Escape and the close box only record a
/// cancel press. Flags, bounds and step belong to the object and survive its windows.
class CProgressDlg : public OperationView {
 public:
  /// `captionId` 0 selects the default caption (the application's title). `mainWindow`
  /// owns the window when Create is given no parent.
  CProgressDlg(unsigned captionId, Language language, QWidget* mainWindow);
  ~CProgressDlg() override;
  CProgressDlg(const CProgressDlg&) = delete;
  CProgressDlg& operator=(const CProgressDlg&) = delete;

  /// Disables the owner (the top-level window of `parent`, or the main window), if it was
  /// enabled, and shows the window. False when the window could not be created; the
  /// owner is then enabled again.
  bool Create(QWidget* parent = nullptr);
  /// Enables the owner again, then destroys the window. False when there was none.
  bool DestroyWindow();
  /// Enables the owner if Create disabled it.
  void ReEnableParent();
  /// Sets the window caption.
  void SetWindowText(const std::string& caption);

  /// Lets every pending event through and returns as soon as none is left; never waits.
  void PumpMessages();

  // OperationView
  void SetStatus(const std::string& text) override;
  void SetStatusIcon(unsigned iconId) override;
  void SetButtonText(const std::string& text) override;
  void SetRange(int lower, int upper) override;
  void SetStep(int step) override;
  void SetPos(int pos) override;
  void StepIt() override;
  int CheckCancelButton() override;
  int CheckContinueButton() override;
  void ShowContinueButton(bool show) override;
  void MessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override;
  bool AskYesNo(const std::string& text, const std::string& caption) override;

  /// Handlers of the buttons and of every way of dismissing the window.
  void OnCancel() { m_bCancelPressed = 1; }
  void OnContinue() { m_bContinuePressed = 1; }
  void OnOK() {}

  /// The window while it exists, else null.
  QWidget* window() const;
  bool ownerDisabled() const { return m_bOwnerDisabled != 0; }
  /// Whether a press of Cancel waits for the next check.
  bool cancelPending() const { return m_bCancelPressed != 0; }

 protected:
  /// Makes the window, which the object then owns; null when that fails.
  virtual ProgressWindow* CreateWindowObject();

 private:
  void OnInitDialog();
  void UpdateData();

  std::string m_strStatus;
  int m_bContinuePressed = 0;
  unsigned m_nCaptionId;
  int m_nRangeLow = 0;
  int m_nRangeHigh = 100;
  int m_nStep = 1;
  int m_bCancelPressed = 0;
  int m_bOwnerDisabled = 0;

  Language language_;
  QPointer<QWidget> mainWindow_;
  QPointer<QWidget> owner_;
  std::unique_ptr<ProgressWindow> window_;
};

}  // namespace otp
