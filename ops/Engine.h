#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "core/Catalogue.h"
#include "core/Clock.h"
#include "core/OperationView.h"
#include "core/ResultReporter.h"
#include "ops/CWriter.h"
#include "ops/Verdict.h"

namespace otp {

/// A face of an engine that runs without an operator at each report (the command line,
/// the station window): an operation view that is also told of every report as it is
/// shown, and of notices worth a line.
class EngineView : public OperationView {
 public:
  /// A report, as the window would show it (text and kind).
  virtual void OnReport(const ResultReporter::ShownReport& report) { (void)report; }
  /// Something worth saying that is no report: a short block answer read again.
  virtual void OnNotice(const std::string& text) { (void)text; }

  // Nobody waits at a report: the verdicts are in the records and on the screen.
  void WaitForAcknowledgement(Clock&, std::chrono::milliseconds) override {}
  // Differences are counted, never waited at.
  int CheckContinueButton() override { return 1; }
  void ShowContinueButton(bool) override {}
  // The decoder's boxes and short answers reach the face as reports (OnReport).
  void MessageBox(const std::string&, const std::string&, BoxIcon) override {}
  bool AskYesNo(const std::string&, const std::string&) override { return false; }
};

/// What one engine's operations found since the last reset: gathered by the engine as
/// they run, so that every face reads the same findings.
struct Findings {
  std::optional<unsigned> lastError;  // the last error report's catalogue number
  std::string failure;                // the first failure (or warning) shown
  std::optional<unsigned> failureId;  // its catalogue number, when it has one
  std::size_t differences = 0;        // bytes that differed in Read+Compare
  std::optional<std::uint32_t> firstDifference;
  std::uint8_t firstPart = 0;  // what the part holds there
  std::uint8_t firstFile = 0;  // what the file holds there
};

/// How an engine works for a face without an operator at each report.
struct EngineOptions {
  Language language = Language::kEnglish;
  /// A short block answer is read again up to this many times.
  int retries = 2;
  /// Set: the operations stop between blocks, as Cancel stops them.
  const std::atomic<bool>* stop = nullptr;
};

/// One engine on one port: the writer with its own reporter, shown on a face's view,
/// gathering what its operations find. Used on one thread.
class Engine {
 public:
  Engine(EngineView& face, Clock& clock, EngineOptions options);
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  CWriter& writer() { return writer_; }
  Clock& clock() { return clock_; }
  Language language() const { return options_.language; }
  const Findings& findings() const { return findings_; }
  /// Forgets what the last unit found.
  void ResetFindings() { findings_ = Findings{}; }
  /// The verdict of an operation that ended with `outcome`.
  UnitVerdict VerdictFor(Outcome outcome) const { return VerdictOf(outcome, findings_.lastError); }
  /// Catalogue text `id` in the engine's language.
  std::string Text(unsigned id) const { return reporter_.Text(id); }

 private:
  // Between the writer and the face: forwards everything and keeps the findings.
  class Recorder final : public OperationView {
   public:
    explicit Recorder(Engine& engine) : engine_(engine) {}
    void SetStatus(const std::string& text) override { engine_.face_.SetStatus(text); }
    void SetStatusIcon(unsigned id) override { engine_.face_.SetStatusIcon(id); }
    void SetButtonText(const std::string& text) override { engine_.face_.SetButtonText(text); }
    void SetRange(int lower, int upper) override { engine_.face_.SetRange(lower, upper); }
    void SetStep(int step) override { engine_.face_.SetStep(step); }
    void SetPos(int pos) override;
    void StepIt() override;
    int CheckCancelButton() override;
    int CheckContinueButton() override { return engine_.face_.CheckContinueButton(); }
    void ShowContinueButton(bool show) override { engine_.face_.ShowContinueButton(show); }
    void WaitForAcknowledgement(Clock& clock, std::chrono::milliseconds poll) override {
      engine_.face_.WaitForAcknowledgement(clock, poll);
    }
    void OnDifference(std::uint32_t address, std::uint8_t device, std::uint8_t image) override;
    void MessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override;
    bool AskYesNo(const std::string& text, const std::string& caption) override;

   private:
    Engine& engine_;
    int retriesLeft_ = 0;
  };
  void OnReport(const ResultReporter::ShownReport& report);

  EngineView& face_;
  Clock& clock_;
  EngineOptions options_;
  Findings findings_;
  Recorder recorder_;
  ResultReporter reporter_;
  CWriter writer_;
};

}  // namespace otp
