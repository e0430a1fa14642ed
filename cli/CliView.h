#pragma once

#include <string>

#include "cli/Console.h"
#include "cli/Options.h"
#include "ops/Engine.h"

namespace otp::cli {

/// The terminal's (or a script's) face of one engine: progress and reports go to the
/// console, differences are listed up to --max-diffs, and Ctrl-C is the Cancel button.
class CliView final : public EngineView {
 public:
  /// `slot`: the port's place among several (its label `port`), or -1 for one port.
  CliView(Console& console, const Options& options, Language language, int slot = -1,
          std::string port = {});

  /// An event of this view: with several ports it names its port.
  Json Event(std::string_view name) const;
  /// A line for the person, and an error line, of this view's port.
  void Say(std::string_view text) const { console_.Say(text, slot_); }
  void Error(std::string_view text) const { console_.Error(text, slot_); }
  int slot() const { return slot_; }
  const std::string& port() const { return port_; }

  /// The phase that the following progress belongs to, at `baud` bit/s.
  void SetPhase(const std::string& phase, int baud);

  void OnReport(const ResultReporter::ShownReport& report) override;
  void OnNotice(const std::string& text) override;
  void SetStatus(const std::string&) override {}
  void SetStatusIcon(unsigned) override {}
  void SetButtonText(const std::string&) override {}
  void SetRange(int lower, int upper) override;
  void SetStep(int step) override { step_ = step; }
  void SetPos(int pos) override;
  void StepIt() override;
  int CheckCancelButton() override;
  void OnDifference(std::uint32_t address, std::uint8_t device, std::uint8_t image) override;

 private:
  void ShowProgress();

  Console& console_;
  const Options& options_;
  Language language_;
  int slot_;
  std::string port_;
  int interruptsSeen_ = 0;
  std::size_t differences_ = 0;
  std::string phase_;
  int baud_ = 0;
  int low_ = 0, high_ = 0, pos_ = 0, step_ = 1;
};

}  // namespace otp::cli
