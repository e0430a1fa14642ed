#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/Console.h"
#include "cli/Options.h"
#include "core/Clock.h"
#include "core/OperationView.h"
#include "core/ResultReporter.h"
#include "ops/CWriter.h"

namespace otp::cli {

/// The terminal's (or a script's) face of one engine: progress and reports go to the
/// console, differences are counted and never waited at, a short block answer is read
/// again a few times, and Ctrl-C is the Cancel button.
class CliView final : public OperationView {
 public:
  /// `slot`: the port's place among several (its label `port`), or -1 for one port.
  CliView(Console& console, const Options& options, int slot = -1, std::string port = {});

  /// An event of this view: with several ports it names its port.
  Json Event(std::string_view name) const;
  /// A line for the person, and an error line, of this view's port.
  void Say(std::string_view text) const { console_.Say(text, slot_); }
  void Error(std::string_view text) const { console_.Error(text, slot_); }

  /// The phase that the following progress belongs to, at `baud` bit/s.
  void SetPhase(const std::string& phase, int baud);
  /// Shows a report, as the window would (text and kind), and keeps its number.
  void OnReport(const ResultReporter::ShownReport& report);
  /// Forgets what the last unit's operations found.
  void ResetFindings() {
    lastError.reset();
    differences = 0;
    firstDifference.reset();
    failure.clear();
  }

  /// The number of the last error report, if any.
  std::optional<unsigned> lastError;
  /// Differences seen by Read+Compare, and the address of the first.
  std::size_t differences = 0;
  std::optional<std::uint32_t> firstDifference;
  /// The first reported failure text, for a summary.
  std::string failure;

  void SetStatus(const std::string&) override {}
  void SetStatusIcon(unsigned) override {}
  void SetButtonText(const std::string&) override {}
  void SetRange(int lower, int upper) override;
  void SetStep(int step) override { step_ = step; }
  void SetPos(int pos) override;
  void StepIt() override;
  int CheckCancelButton() override;
  int CheckContinueButton() override { return 1; }
  void ShowContinueButton(bool) override {}
  void WaitForAcknowledgement(Clock&, std::chrono::milliseconds) override {}
  void OnDifference(std::uint32_t address, std::uint8_t device, std::uint8_t image) override;
  void MessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override;
  bool AskYesNo(const std::string& text, const std::string& caption) override;

 private:
  void ShowProgress();

  Console& console_;
  const Options& options_;
  int slot_;
  std::string port_;
  int interruptsSeen_ = 0;
  std::string phase_;
  int baud_ = 0;
  int low_ = 0, high_ = 0, pos_ = 0, step_ = 1;
  int retriesLeft_ = 0;
};

/// One engine on one port: the writer with its own clock, view and reporter.
class Session {
 public:
  Session(Console& console, const Options& options, Language language, int slot = -1,
          std::string port = {});

  CWriter& writer() { return writer_; }
  CliView& view() { return view_; }
  Clock& clock() { return clock_; }

  /// The exit status for an operation's outcome.
  int ExitFor(Outcome outcome) const;

 private:
  SystemClock clock_;
  CliView view_;
  ResultReporter reporter_;
  CWriter writer_;
};

}  // namespace otp::cli
