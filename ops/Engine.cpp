#include "ops/Engine.h"

#include "core/Texts.h"

namespace otp {

Engine::Engine(EngineView& face, Clock& clock, EngineOptions options)
    : face_(face),
      clock_(clock),
      options_(options),
      recorder_(*this),
      reporter_(recorder_, clock_, options.language, [this] { writer_.link.Close(); }),
      writer_(recorder_, reporter_, clock_) {
  reporter_.onReport = [this](const ResultReporter::ShownReport& report) { OnReport(report); };
  // Nobody acknowledges each report here: a line that is gone ends a status wait with one
  // report rather than one for every failed read.
  writer_.link.SetEndWaitOnReadFailure(true);
  writer_.keepWorkingFolder = true;
}

void Engine::OnReport(const ResultReporter::ShownReport& report) {
  // The first failure, its text and its number together: one reason for one unit. A
  // result that says NG (a part not blank, one that differs) is a failure too.
  const bool failing = report.kind != kInformation || report.verdict == kVerdictNg;
  if (report.kind != kInformation && report.kind != kWarning && report.id) {
    findings_.lastError = report.id;
  }
  if (failing && findings_.failure.empty()) {
    findings_.failure = report.text;
    if (report.id) findings_.failureId = report.id;
  }
  face_.OnReport(report);
}

void Engine::Recorder::SetPos(int pos) {
  retriesLeft_ = engine_.options_.retries;
  engine_.face_.SetPos(pos);
}

void Engine::Recorder::StepIt() {
  retriesLeft_ = engine_.options_.retries;
  engine_.face_.StepIt();
}

int Engine::Recorder::CheckCancelButton() {
  const int face = engine_.face_.CheckCancelButton();
  const std::atomic<bool>* stop = engine_.options_.stop;
  return face != 0 || (stop && stop->load()) ? 1 : 0;
}

void Engine::Recorder::OnDifference(std::uint32_t address, std::uint8_t device,
                                    std::uint8_t image) {
  Findings& findings = engine_.findings_;
  ++findings.differences;
  if (!findings.firstDifference) {
    findings.firstDifference = address;
    findings.firstPart = device;
    findings.firstFile = image;
  }
  engine_.face_.OnDifference(address, device, image);
}

void Engine::Recorder::MessageBox(const std::string& text, const std::string& caption,
                                  BoxIcon icon) {
  // The boxes of the writer here say that a file could not be used.
  engine_.face_.MessageBox(text, caption, icon);
  engine_.OnReport(ResultReporter::ShownReport{std::nullopt, kError, text, kNoVerdict});
}

bool Engine::Recorder::AskYesNo(const std::string&, const std::string&) {
  const Language language = engine_.options_.language;
  if (retriesLeft_ <= 0) {
    engine_.OnReport(
        ResultReporter::ShownReport{std::nullopt, kError,
                                    Tr(language, "the block answer stayed short after %1 retries",
                                       {std::to_string(engine_.options_.retries)}),
                                    kNoVerdict});
    return false;
  }
  --retriesLeft_;
  engine_.face_.OnNotice(Tr(language, "short block answer: reading the block again"));
  return true;
}

}  // namespace otp
