#include "ui/CProgressDlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QWindow>
#include <cstdint>

#include "core/Report.h"
#include "ui/DialogBuilder.h"

namespace otp {

/// The window of template 103. Every way of closing it is turned into a cancel press.
class ProgressWindow : public QDialog {
 public:
  explicit ProgressWindow(CProgressDlg& owner) : owner_(owner) {
    setObjectName(QStringLiteral("103"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
    setWindowIcon(ui::AppIcon());
    controls_ = ui::BuildControls(this, res::ProgressDialogTemplate());
    setFixedSize(size());
    cancel = static_cast<QPushButton*>(controls_.at(res::id::kCancel));
    continueButton = static_cast<QPushButton*>(controls_.at(res::id::kContinue));
    bar = static_cast<QProgressBar*>(controls_.at(res::id::kProgressBar));
    status = static_cast<QLabel*>(controls_.at(res::id::kStatus));
    icon = static_cast<QLabel*>(controls_.at(res::id::kStatusIcon));
    QObject::connect(cancel, &QPushButton::clicked, this, [this] { owner_.OnCancel(); });
    QObject::connect(continueButton, &QPushButton::clicked, this, [this] { owner_.OnContinue(); });
  }

  void accept() override { owner_.OnOK(); }
  void reject() override { owner_.OnCancel(); }

  QPushButton* cancel;
  QPushButton* continueButton;
  QProgressBar* bar;
  QLabel* status;
  QLabel* icon;
  int position = 0;  // the bar's position with the progress-bar control's own rules
  int low = 0;
  int high = 100;
  int step = 1;

  void SetRange(int lower, int upper) {
    low = lower;
    high = upper;
    // A bar whose bounds are equal stays empty (Qt would show a busy indicator).
    bar->setRange(low, high > low ? high : low + 1);
    SetPos(position);
  }
  void SetPos(int pos) {
    position = pos < low ? low : (pos > high ? high : pos);
    bar->setValue(position);
  }
  void StepIt() {
    // Past the upper bound the bar starts over from the lower one.
    int pos = position + step;
    if (high > low && pos > high) pos = (pos - low) % (high - low) + low;
    if (high > low && pos < low) pos = (pos - low) % (high - low) + high;
    SetPos(pos);
  }

 protected:
  void closeEvent(QCloseEvent* event) override {
    event->ignore();
    owner_.OnCancel();
  }

 private:
  CProgressDlg& owner_;
  std::map<int, QWidget*> controls_;
};

CProgressDlg::CProgressDlg(unsigned captionId, Language language, QWidget* mainWindow)
    : m_nCaptionId(captionId != 0 ? captionId : msg::kAppTitle),
      language_(language),
      mainWindow_(mainWindow) {}

CProgressDlg::~CProgressDlg() {
  if (window_) DestroyWindow();
}

ProgressWindow* CProgressDlg::CreateWindowObject() {
  return new ProgressWindow(*this);
}

bool CProgressDlg::Create(QWidget* parent) {
  if (window_) DestroyWindow();
  owner_ = parent ? parent->window() : mainWindow_.data();
  if (owner_ && owner_->isEnabled()) {
    owner_->setEnabled(false);
    m_bOwnerDisabled = 1;
  }
  window_.reset(CreateWindowObject());
  if (!window_) {
    ReEnableParent();
    return false;
  }
  OnInitDialog();
  if (owner_ && owner_->isVisible()) {
    // Centred on its owner and kept in front of it, without being its child: a child
    // would be disabled together with the owner.
    const QPoint centre = owner_->mapToGlobal(owner_->rect().center());
    window_->move(centre - window_->rect().center());
    window_->winId();
    if (owner_->windowHandle()) {
      window_->windowHandle()->setTransientParent(owner_->windowHandle());
    }
  }
  window_->show();
  return true;
}

void CProgressDlg::OnInitDialog() {
  UpdateData();
  window_->step = m_nStep;
  window_->SetRange(m_nRangeLow, m_nRangeHigh);
  window_->SetPos(m_nRangeLow);
  window_->setWindowTitle(QString::fromStdString(LoadString(m_nCaptionId, language_)));
  window_->cancel->setFocus();
}

bool CProgressDlg::DestroyWindow() {
  ReEnableParent();
  if (!window_) return false;
  window_->hide();
  window_.reset();
  return true;
}

void CProgressDlg::ReEnableParent() {
  if (m_bOwnerDisabled && owner_) owner_->setEnabled(true);
  m_bOwnerDisabled = 0;
}

QWidget* CProgressDlg::window() const {
  return window_.get();
}

void CProgressDlg::SetWindowText(const std::string& caption) {
  if (window_) window_->setWindowTitle(QString::fromStdString(caption));
}

void CProgressDlg::PumpMessages() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void CProgressDlg::UpdateData() {
  if (window_) window_->status->setText(QString::fromStdString(m_strStatus));
}

void CProgressDlg::SetStatus(const std::string& text) {
  m_strStatus = text;
  UpdateData();
}

void CProgressDlg::SetStatusIcon(unsigned iconId) {
  if (window_) {
    QStyle::StandardPixmap pixmap;
    switch (iconId) {
      case kIconInformation:
        pixmap = QStyle::SP_MessageBoxInformation;
        break;
      case kIconExclamation:
        pixmap = QStyle::SP_MessageBoxWarning;
        break;
      case kIconStop:
        pixmap = QStyle::SP_MessageBoxCritical;
        break;
      default:
        pixmap = QStyle::SP_CustomBase;
        break;
    }
    if (pixmap == QStyle::SP_CustomBase) {
      window_->icon->clear();
    } else {
      window_->icon->setPixmap(window_->style()->standardIcon(pixmap).pixmap(32, 32));
    }
    window_->icon->setProperty("iconId", iconId);
  }
  UpdateData();
}

void CProgressDlg::SetButtonText(const std::string& text) {
  if (window_) window_->cancel->setText(QString::fromStdString(text));
  UpdateData();
}

void CProgressDlg::SetRange(int lower, int upper) {
  m_nRangeLow = lower;
  m_nRangeHigh = upper;
  // The bar takes each bound as a 16-bit value.
  if (window_) {
    window_->SetRange(static_cast<std::uint16_t>(lower), static_cast<std::uint16_t>(upper));
  }
}

void CProgressDlg::SetPos(int pos) {
  PumpMessages();
  if (window_) window_->SetPos(pos);
}

void CProgressDlg::SetStep(int step) {
  m_nStep = step;
  if (window_) window_->step = step;
}

void CProgressDlg::StepIt() {
  PumpMessages();
  if (window_) window_->StepIt();
}

int CProgressDlg::CheckCancelButton() {
  PumpMessages();
  const int pressed = m_bCancelPressed;
  m_bCancelPressed = 0;
  return pressed;
}

int CProgressDlg::CheckContinueButton() {
  PumpMessages();
  const int pressed = m_bContinuePressed;
  m_bContinuePressed = 0;
  return pressed;
}

void CProgressDlg::ShowContinueButton(bool show) {
  if (window_) window_->continueButton->setVisible(show);
}

void CProgressDlg::MessageBox(const std::string& text, const std::string& caption, BoxIcon icon) {
  QMessageBox box(icon == BoxIcon::kInformation ? QMessageBox::Information : QMessageBox::NoIcon,
                  QString::fromStdString(caption), QString::fromStdString(text), QMessageBox::Ok,
                  window_.get());
  box.exec();
}

bool CProgressDlg::AskYesNo(const std::string& text, const std::string& caption) {
  QMessageBox box(QMessageBox::Warning, QString::fromStdString(caption),
                  QString::fromStdString(text), QMessageBox::Yes | QMessageBox::No, window_.get());
  box.setDefaultButton(QMessageBox::Yes);
  return box.exec() == QMessageBox::Yes;
}

}  // namespace otp
