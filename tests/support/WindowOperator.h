#pragma once

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/TestClock.h"
#include "ui/CProgressDlg.h"

namespace otp::test {

/// An operator in front of real windows: acknowledges the reports of the progress window
/// through its button (or Enter, Escape, the close box), answers Read+Compare's stops,
/// and answers message boxes and other modal dialogs. It acts while an operation sleeps
/// (through the clock) and while a modal dialog runs (through a timer).
class WindowOperator {
 public:
  enum class Press { kClick, kEnter, kEscape, kCloseBox };

  struct Seen {
    std::string text;
    unsigned icon = 0;
    std::string caption;
  };

  explicit WindowOperator(TestClock& clock) : clock_(clock) {
    clock_.onSleep = [this] { Operate(); };
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] { AnswerModal(); });
    timer_.start();
  }
  ~WindowOperator() { clock_.onSleep = nullptr; }

  void Watch(CProgressDlg* progress) { progress_ = progress; }

  // What the operator does.
  bool autoAcknowledge = true;
  Press press = Press::kClick;
  std::function<bool(const Seen&)> atDifference = [](const Seen&) { return true; };
  std::deque<bool> yesNoAnswers;               // for Yes/No questions; No when empty
  std::function<void(const Seen&)> onBox;      // runs before a box is answered
  std::function<bool(QWidget*)> onOtherModal;  // a modal dialog that is no message box
  std::function<void()> onSleep;               // runs at every sleep, first

  // What the operator saw.
  std::vector<Seen> acknowledged;  // the progress window at each acknowledgement
  std::vector<Seen> stops;         // at each Read+Compare difference
  std::vector<Seen> boxes;         // message boxes, in order
  std::vector<Seen> questions;     // the Yes/No ones among them

  std::vector<std::string> Reports() const {
    std::vector<std::string> texts;
    for (const Seen& seen : acknowledged)
      texts.push_back(seen.text);
    return texts;
  }

  /// The progress window as the operator sees it.
  Seen Look() const {
    Seen seen;
    QWidget* window = progress_ ? progress_->window() : nullptr;
    if (!window) return seen;
    seen.text = window->findChild<QLabel*>("1005")->text().toStdString();
    seen.icon = window->findChild<QLabel*>("1027")->property("iconId").toUInt();
    seen.caption = window->windowTitle().toStdString();
    return seen;
  }

  void PressOk(QWidget* window, QPushButton* button) {
    switch (press) {
      case Press::kClick:
        QTest::mouseClick(button, Qt::LeftButton);
        break;
      case Press::kEnter:
        QTest::keyClick(window, Qt::Key_Return);
        break;
      case Press::kEscape:
        QTest::keyClick(window, Qt::Key_Escape);
        break;
      case Press::kCloseBox:
        window->close();
        break;
    }
  }

 private:
  void Operate() {
    if (onSleep) onSleep();
    QWidget* window = progress_ ? progress_->window() : nullptr;
    if (!window) return;
    auto* cancel = window->findChild<QPushButton*>("2");
    auto* more = window->findChild<QPushButton*>("1029");
    if (more->isVisible()) {
      if (!stopHandled_) {
        stopHandled_ = true;
        stops.push_back(Look());
        if (atDifference(stops.back())) {
          QTest::mouseClick(more, Qt::LeftButton);
        } else {
          QTest::mouseClick(cancel, Qt::LeftButton);
        }
      }
      return;
    }
    stopHandled_ = false;
    if (autoAcknowledge && cancel->text() == "Ok" && !progress_->cancelPending()) {
      acknowledged.push_back(Look());
      PressOk(window, cancel);
    }
  }

  void AnswerModal() {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible()) return;
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      Seen seen{box->text().toStdString(), static_cast<unsigned>(box->icon()),
                box->windowTitle().toStdString()};
      boxes.push_back(seen);
      if (onBox) onBox(seen);
      if (box->button(QMessageBox::Yes)) {
        questions.push_back(seen);
        bool yes = false;
        if (!yesNoAnswers.empty()) {
          yes = yesNoAnswers.front();
          yesNoAnswers.pop_front();
        }
        box->button(yes ? QMessageBox::Yes : QMessageBox::No)->click();
      } else {
        box->button(QMessageBox::Ok)->click();
      }
      return;
    }
    if (onOtherModal && onOtherModal(modal)) return;
  }

  TestClock& clock_;
  CProgressDlg* progress_ = nullptr;
  QTimer timer_;
  bool stopHandled_ = false;
};

}  // namespace otp::test
