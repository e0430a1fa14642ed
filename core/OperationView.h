#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "core/Clock.h"

namespace otp {

/// Stock icons that an operation can show beside its status text.
inline constexpr unsigned kIconNone = 0;
inline constexpr unsigned kIconStop = 0x7F01;         // error
inline constexpr unsigned kIconExclamation = 0x7F03;  // warning, a Read+Compare difference
inline constexpr unsigned kIconInformation = 0x7F04;  // information

/// Icon of a message box that has only an OK button.
enum class BoxIcon { kNone, kInformation };

/// What an operation shows its progress, results and questions on. The progress dialog
/// implements it for the window; tests and other front ends implement it too. All texts
/// are UTF-8.
class OperationView {
 public:
  virtual ~OperationView() = default;

  /// Replaces the status text; "\n" breaks it into lines.
  virtual void SetStatus(const std::string& text) = 0;
  /// Shows one of the stock icons (kIcon...) beside the status; kIconNone removes it.
  virtual void SetStatusIcon(unsigned iconId) = 0;
  /// Relabels the button that acknowledges and cancels.
  virtual void SetButtonText(const std::string& text) = 0;

  /// Progress bar. SetPos and StepIt let the operator's input through first.
  virtual void SetRange(int lower, int upper) = 0;
  virtual void SetStep(int step) = 0;
  virtual void SetPos(int pos) = 0;
  virtual void StepIt() = 0;

  /// Lets pending input through, then returns 1 if Cancel (or any way of dismissing the
  /// view) was pressed since the last call, and clears that state; else 0.
  virtual int CheckCancelButton() = 0;
  /// The same for the Continue button.
  virtual int CheckContinueButton() = 0;
  /// Shows or hides the Continue button without moving it.
  virtual void ShowContinueButton(bool show) = 0;

  /// A report is on screen and waits for the operator: returns once the operator has
  /// acknowledged it. The window checks its button every `poll` (CheckCancelButton) until
  /// it is pressed; a face without an operator at hand may return at once.
  virtual void WaitForAcknowledgement(Clock& clock, std::chrono::milliseconds poll) {
    while (CheckCancelButton() == 0)
      clock.Sleep(poll);
  }

  /// Read+Compare found a byte that differs, before it shows the difference and waits
  /// for Continue or Cancel.
  virtual void OnDifference(std::uint32_t /*address*/, std::uint8_t /*device*/,
                            std::uint8_t /*image*/) {}

  /// A modal message with an OK button only; returns when it is closed.
  virtual void MessageBox(const std::string& text, const std::string& caption, BoxIcon icon) = 0;
  /// A modal Yes/No question with the exclamation icon; true for Yes.
  virtual bool AskYesNo(const std::string& text, const std::string& caption) = 0;
};

}  // namespace otp
