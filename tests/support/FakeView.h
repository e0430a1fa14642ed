#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "core/OperationView.h"

namespace otp::test {

/// An operation view without a window, with an operator that acknowledges every report
/// and can be scripted to press Cancel and Continue and to answer questions.
class FakeView final : public OperationView {
 public:
  struct Seen {
    std::string status;
    unsigned icon;
  };

  // What the view shows.
  std::string status;
  unsigned icon = kIconNone;
  std::string buttonText = "Cancel";
  int low = 0, high = 100, step = 1, pos = 0;
  bool continueShown = false;
  std::vector<int> positions;  // the bar's position after every SetPos and StepIt

  // The operator: acts only while an operation sleeps (wire Operate to the clock), as a
  // person can only press a button that is already on screen.
  bool cancelPressed = false;
  bool continuePressed = false;
  bool autoAcknowledge = true;  // press Ok whenever a report waits
  int reactionPolls = 1;        // looks at a waiting report this often before pressing
  /// At every difference: true to press Continue, false to press Cancel.
  std::function<bool(const std::string& status)> atDifference = [](const std::string&) {
    return true;
  };
  /// Runs whenever the view lets input through, before the flags are looked at.
  std::function<void(FakeView&)> onPump;

  // What the operator saw and answered.
  std::vector<Seen> acknowledged;  // the report on screen at each Ok
  std::vector<Seen> differences;   // the status at each stop with Continue shown
  std::vector<std::pair<std::string, std::string>> messages;   // text, caption
  std::vector<std::pair<std::string, std::string>> questions;  // text, caption
  std::deque<bool> answers;                                    // Yes/No, in order
  std::function<void()> onMessage;                             // runs while a message box is shown
  std::function<void()> onQuestion;                            // runs while a question is shown

  /// A new window: the state that Create gives (the flags belong to the object and stay).
  void NewWindow() {
    status.clear();
    icon = kIconNone;
    buttonText = "Cancel";
    continueShown = false;
    low = 0;
    high = 100;
    pos = 0;
  }

  /// Forgets what was seen and answered, and starts a new window; the hooks stay.
  void ClearRecords() {
    acknowledged.clear();
    differences.clear();
    messages.clear();
    questions.clear();
    positions.clear();
    NewWindow();
  }

  /// The operator's turn.
  void Operate() {
    if (continueShown) {
      if (!stopSeen_) {
        stopSeen_ = true;
        differences.push_back({status, icon});
        (atDifference(status) ? continuePressed : cancelPressed) = true;
      }
      return;
    }
    if (autoAcknowledge && awaiting_ && !cancelPressed && ++pollsWaiting_ >= reactionPolls) {
      pollsWaiting_ = 0;
      cancelPressed = true;
      acknowledged.push_back({status, icon});
    }
  }

  void SetStatus(const std::string& text) override { status = text; }
  void SetStatusIcon(unsigned iconId) override { icon = iconId; }
  void SetButtonText(const std::string& text) override { buttonText = text; }
  void SetRange(int lower, int upper) override {
    low = lower;
    high = upper;
  }
  void SetStep(int value) override { step = value; }
  void SetPos(int value) override {
    Pump();
    pos = value;
    positions.push_back(pos);
  }
  void StepIt() override {
    Pump();
    pos += step;
    positions.push_back(pos);
  }
  int CheckCancelButton() override {
    Pump();
    const bool pressed = cancelPressed;
    cancelPressed = false;
    return pressed ? 1 : 0;
  }
  int CheckContinueButton() override {
    Pump();
    const bool pressed = continuePressed;
    continuePressed = false;
    return pressed ? 1 : 0;
  }
  void ShowContinueButton(bool show) override {
    continueShown = show;
    stopSeen_ = false;
  }
  void WaitForAcknowledgement(Clock& clock, std::chrono::milliseconds poll) override {
    awaiting_ = true;
    OperationView::WaitForAcknowledgement(clock, poll);
    awaiting_ = false;
  }
  void MessageBox(const std::string& text, const std::string& caption, BoxIcon) override {
    messages.emplace_back(text, caption);
    if (onMessage) onMessage();
  }
  bool AskYesNo(const std::string& text, const std::string& caption) override {
    questions.emplace_back(text, caption);
    if (onQuestion) onQuestion();
    if (answers.empty()) return false;
    const bool yes = answers.front();
    answers.pop_front();
    return yes;
  }

 private:
  void Pump() {
    if (onPump) onPump(*this);
  }
  bool stopSeen_ = false;
  bool awaiting_ = false;  // a report waits for the operator
  int pollsWaiting_ = 0;
};

}  // namespace otp::test
