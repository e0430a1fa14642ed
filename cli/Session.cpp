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

CliView::CliView(Console& console, const Options& options) : console_(console), options_(options) {}

void CliView::SetPhase(const std::string& phase, int baud) {
  phase_ = phase;
  baud_ = baud;
  console_.Emit(Json("phase").Add("phase", phase));
}

void CliView::ShowProgress() {
  console_.Progress(phase_, pos_ - low_, high_ - low_, baud_);
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
  return TakeInterrupt() ? 1 : 0;
}

void CliView::OnDifference(std::uint32_t address, std::uint8_t device, std::uint8_t image) {
  ++differences;
  if (!firstDifference) firstDifference = address;
  if (differences > static_cast<std::size_t>(options_.maxDiffs)) return;
  console_.Emit(Json("difference")
                    .Add("address", address)
                    .Add("device", unsigned{device})
                    .Add("file", unsigned{image}));
  char text[96];
  std::snprintf(text, sizeof(text), "difference at 0x%04X: device 0x%02X, file 0x%02X",
                static_cast<unsigned>(address), device, image);
  console_.Say(text);
}

void CliView::OnReport(const ResultReporter::ShownReport& report) {
  Json event("report");
  if (report.id) {
    event.Add("id", *report.id);
  } else {
    event.AddNull("id");
  }
  console_.Emit(event.Add("kind", KindName(report.kind)).Add("text", report.text));
  if (report.kind == kInformation || report.kind == kWarning) {
    console_.Say(report.text);
    if (report.kind == kWarning && failure.empty()) failure = report.text;
    return;
  }
  if (report.id) lastError = report.id;
  if (failure.empty()) failure = report.text;
  if (!console_.json()) console_.Error("ERROR !! " + report.text);
}

void CliView::MessageBox(const std::string& text, const std::string& caption, BoxIcon) {
  // The decoder's boxes: the file could not be used.
  if (failure.empty()) failure = text;
  console_.Emit(Json("report").AddNull("id").Add("kind", "error").Add("text", text));
  if (!console_.json()) console_.Error(caption + ": " + text);
}

bool CliView::AskYesNo(const std::string&, const std::string&) {
  if (retriesLeft_ <= 0) {
    const std::string text =
        "the block answer stayed short after " + std::to_string(options_.retries) + " retries";
    if (failure.empty()) failure = text;
    console_.Emit(Json("report").AddNull("id").Add("kind", "error").Add("text", text));
    if (!console_.json()) console_.Error(text);
    return false;
  }
  --retriesLeft_;
  if (console_.verbose()) console_.Say("short block answer: reading the block again");
  return true;
}

Session::Session(Console& console, const Options& options, Language language)
    : view_(console, options),
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
