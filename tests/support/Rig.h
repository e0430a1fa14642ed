#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QKeyEvent>
#include <QMetaObject>
#include <functional>
#include <memory>
#include <string>

#include "app/CWriterDlg.h"
#include "sim/PtyBoard.h"
#include "sim/TargetBoard.h"
#include "tests/support/FakeLine.h"
#include "tests/support/TestClock.h"

namespace otp::test {

/// Where the main window's serial line leads: a fake line on virtual time, or the real
/// serial port on a pseudo-terminal with the board on its own thread, in real time.
/// Either way the same simulated board answers.
class Rig {
 public:
  virtual ~Rig() = default;
  virtual TestClock& clock() = 0;
  /// Settings lines that make COM1 lead to the board.
  virtual std::string PortsSection() const = 0;
  /// Completes the environment of the main window.
  virtual void Complete(WriterEnvironment& environment) = 0;
  /// Runs `f` on the board, safely.
  virtual void WithBoard(const std::function<void(sim::TargetBoard&)>& f) = 0;
  /// The board's reset button.
  virtual void Reset() = 0;
  virtual const char* Name() const = 0;
};

class FakeRig final : public Rig {
 public:
  TestClock& clock() override { return clock_; }
  std::string PortsSection() const override { return "[Ports]\nCOM1=/dev/ttyFAKE0\n"; }
  void Complete(WriterEnvironment& environment) override {
    environment.clock = &clock_;
    environment.ports = &line_;
  }
  void WithBoard(const std::function<void(sim::TargetBoard&)>& f) override { f(board_); }
  void Reset() override { board_.Reset(); }
  const char* Name() const override { return "virtual clock"; }

 private:
  TestClock clock_;
  sim::TargetBoard board_;
  FakeLine line_{clock_, board_};
};

class PtyRig final : public Rig {
 public:
  explicit PtyRig(const std::string& link) : link_(link), pty_(board_, {link}) {}
  ~PtyRig() override { pty_.Stop(); }
  bool Start(std::string* error) { return pty_.Start(error); }
  TestClock& clock() override { return clock_; }
  std::string PortsSection() const override { return "[Ports]\nCOM1=" + link_ + "\n"; }
  void Complete(WriterEnvironment& environment) override { environment.clock = &clock_; }
  void WithBoard(const std::function<void(sim::TargetBoard&)>& f) override {
    pty_.WithBoard([&](sim::TargetBoard& board) {
      f(board);
      return 0;
    });
  }
  void Reset() override { pty_.Reset(); }
  const char* Name() const override { return "pseudo-terminal"; }

 private:
  std::string link_;
  TestClock clock_{false};
  sim::TargetBoard board_;
  sim::PtyBoard pty_;
};

/// Presses Escape in `window` the next time the queue is drained, as an operator's key
/// waits in the queue until then. Safe from any thread: the key event itself is made on
/// the window's thread (Qt ties key events to input devices that belong to that thread).
inline void PostEscape(QObject* window) {
  QMetaObject::invokeMethod(
      window,
      [window] {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QCoreApplication::sendEvent(window, &press);
      },
      Qt::QueuedConnection);
}

}  // namespace otp::test
