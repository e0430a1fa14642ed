#pragma once

#include <functional>
#include <optional>
#include <string>

#include "core/Catalogue.h"
#include "core/Clock.h"
#include "core/OperationView.h"
#include "core/Report.h"

namespace otp {

/// Shows results in an operation view and waits for the operator's Ok. An error report
/// then asks the operator to redo the Download, waits again and calls `returnToIdle`,
/// which closes the link and disables the operation buttons.
class ResultReporter final : public Reporter {
 public:
  /// A report as it is about to be shown: its catalogue number (none for a composed
  /// text), its kind and its text with the verdict's suffix.
  struct ShownReport {
    std::optional<unsigned> id;
    ResultKind kind;
    std::string text;
    Verdict verdict;  // an OK or NG result carries it
  };

  /// Time between two checks of the Ok button while a report waits.
  static constexpr std::chrono::milliseconds kPollInterval{10};

  ResultReporter(OperationView& view, Clock& clock, Language language,
                 std::function<void()> returnToIdle);

  void ReportResult(unsigned id, ResultKind kind, Verdict verdict) override;
  void ReportMessage(const std::string& text, ResultKind kind) override;
  std::string Text(unsigned id) const override { return LoadString(id, language_); }
  Language language() const { return language_; }

  /// Runs for every report before it is shown.
  std::function<void(const ShownReport&)> onReport;

 private:
  void Show(std::optional<unsigned> id, std::string text, ResultKind kind, Verdict verdict);

  OperationView& view_;
  Clock& clock_;
  Language language_;
  std::function<void()> returnToIdle_;
};

}  // namespace otp
