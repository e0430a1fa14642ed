#include "core/ResultReporter.h"

#include <utility>

namespace otp {

namespace {
bool IsErrorKind(ResultKind kind) {
  return kind == 2 || kind == 3;
}
}  // namespace

ResultReporter::ResultReporter(OperationView& view, Clock& clock, Language language,
                               std::function<void()> returnToIdle)
    : view_(view), clock_(clock), language_(language), returnToIdle_(std::move(returnToIdle)) {}

void ResultReporter::ReportResult(unsigned id, ResultKind kind, Verdict verdict) {
  std::string text = LoadString(id, language_);
  if (verdict == kVerdictOk) text += " OK !!";
  if (verdict == kVerdictNg) text += " NG !!";
  Show(id, std::move(text), kind, verdict);
}

void ResultReporter::ReportMessage(const std::string& text, ResultKind kind) {
  Show(std::nullopt, text, kind, kNoVerdict);
}

void ResultReporter::Show(std::optional<unsigned> id, std::string text, ResultKind kind,
                          Verdict verdict) {
  if (onReport) onReport(ShownReport{id, kind, text, verdict});
  if (kind == kInformation) {
    view_.SetStatusIcon(kIconInformation);
  } else if (kind == kWarning) {
    view_.SetStatusIcon(kIconExclamation);
  } else if (IsErrorKind(kind)) {
    text = "ERROR !!\n " + text;
    view_.SetStatusIcon(kIconStop);
  }
  view_.SetStatus(text);
  view_.SetButtonText("Ok");
  // Drops a press made before the report appeared: only a fresh press acknowledges it.
  view_.CheckCancelButton();
  view_.WaitForAcknowledgement(clock_, kPollInterval);
  if (IsErrorKind(kind)) {
    view_.SetStatus(LoadString(msg::kRedoFromDownload, language_));
    view_.WaitForAcknowledgement(clock_, kPollInterval);
    if (returnToIdle_) returnToIdle_();
  }
}

}  // namespace otp
