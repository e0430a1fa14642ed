#include "cli/Session.h"

#include <cstdio>

#include "cli/Interrupt.h"
#include "core/Report.h"

namespace otp::cli {

namespace {

const char* KindName(ResultKind kind) {
  if (kind == kInformation) return "information";
  if (kind == kWarning) return "warning";
  return "error";
}

}  // namespace

CliView::CliView(Console& console, const Options& options, int slot, std::string port)
    : console_(console), options_(options), slot_(slot), port_(std::move(port)) {}

Json CliView::Event(std::string_view name) const {
  Json event(name);
  if (slot_ >= 0) event.Add("port", port_);
  return event;
}

void CliView::SetPhase(const std::string& phase, int baud) {
  phase_ = phase;
  baud_ = baud;
  console_.Emit(Event("phase").Add("phase", phase));
}

void CliView::ShowProgress() {
  const int total = high_ - low_;
  if (total <= 0) return;
  console_.Emit(
      Event("progress").Add("phase", phase_).Add("done", pos_ - low_).Add("total", total));
  console_.Progress(phase_, pos_ - low_, total, baud_, slot_);
}

void CliView::SetRange(int lower, int upper) {
  low_ = lower;
  high_ = upper;
  pos_ = lower;
}

void CliView::SetPos(int pos) {
  pos_ = pos;
  retriesLeft_ = options_.retries;
  ShowProgress();
}

void CliView::StepIt() {
  pos_ += step_;
  retriesLeft_ = options_.retries;
  ShowProgress();
}

int CliView::CheckCancelButton() {
  // Every view sees each press of Ctrl-C once: all ports stop.
  const int presses = InterruptPresses();
  if (presses == interruptsSeen_) return 0;
  interruptsSeen_ = presses;
  return 1;
}

void CliView::OnDifference(std::uint32_t address, std::uint8_t device, std::uint8_t image) {
  ++differences;
  if (!firstDifference) firstDifference = address;
  if (differences > static_cast<std::size_t>(options_.maxDiffs)) return;
  console_.Emit(Event("difference")
                    .Add("address", address)
                    .Add("device", unsigned{device})
                    .Add("file", unsigned{image}));
  char text[96];
  std::snprintf(text, sizeof(text), "difference at 0x%04X: device 0x%02X, file 0x%02X",
                static_cast<unsigned>(address), device, image);
  Say(text);
}

void CliView::OnReport(const ResultReporter::ShownReport& report) {
  Json event = Event("report");
  if (report.id) {
    event.Add("id", *report.id);
  } else {
    event.AddNull("id");
  }
  console_.Emit(event.Add("kind", KindName(report.kind)).Add("text", report.text));
  if (report.kind == kInformation || report.kind == kWarning) {
    Say(report.text);
    if (report.kind == kWarning && failure.empty()) failure = report.text;
    return;
  }
  if (report.id) lastError = report.id;
  if (failure.empty()) failure = report.text;
  if (!console_.json()) Error("ERROR !! " + report.text);
}

void CliView::MessageBox(const std::string& text, const std::string& caption, BoxIcon) {
  // The decoder's boxes: the file could not be used.
  if (failure.empty()) failure = text;
  console_.Emit(Event("report").AddNull("id").Add("kind", "error").Add("text", text));
  if (!console_.json()) Error(caption + ": " + text);
}

bool CliView::AskYesNo(const std::string&, const std::string&) {
  if (retriesLeft_ <= 0) {
    const std::string text =
        "the block answer stayed short after " + std::to_string(options_.retries) + " retries";
    if (failure.empty()) failure = text;
    console_.Emit(Event("report").AddNull("id").Add("kind", "error").Add("text", text));
    if (!console_.json()) Error(text);
    return false;
  }
  --retriesLeft_;
  if (console_.verbose()) Say("short block answer: reading the block again");
  return true;
}

Session::Session(Console& console, const Options& options, Language language, int slot,
                 std::string port)
    : view_(console, options, slot, std::move(port)),
      reporter_(view_, clock_, language, [this] { writer_.link.Close(); }),
      writer_(view_, reporter_, clock_) {
  reporter_.onReport = [this](const ResultReporter::ShownReport& report) {
    view_.OnReport(report);
  };
}

int Session::ExitFor(Outcome outcome) const {
  switch (outcome) {
    case Outcome::kOk:
      return kExitOk;
    case Outcome::kNotGood:
      return kExitNotGood;
    case Outcome::kNoImage:
      return kExitFile;
    case Outcome::kCanceled:
      return kExitInterrupted;
    case Outcome::kNoResetLine:
      return kExitPort;
    case Outcome::kStopped:
      return kExitLink;
    case Outcome::kFailed:
      break;
  }
  switch (view_.lastError.value_or(0)) {
    case msg::kOpenComPort:
    case msg::kGainComPortInfo:
    case msg::kChangeComPortSetting:
      return kExitPort;
    case msg::kOpenDownloadFile:
    case msg::kGainFileSize:
    case msg::kFileAccessError:
      return kExitFile;
    default:
      return kExitLink;
  }
}

}  // namespace otp::cli
