#include "cli/CliView.h"

#include <cstdio>

#include "cli/Interrupt.h"
#include "core/Texts.h"

namespace otp::cli {

namespace {

const char* KindName(ResultKind kind) {
  if (kind == kInformation) return "information";
  if (kind == kWarning) return "warning";
  return "error";
}

}  // namespace

CliView::CliView(Console& console, const Options& options, Language language, int slot,
                 std::string port)
    : console_(console),
      options_(options),
      language_(language),
      slot_(slot),
      port_(std::move(port)) {}

Json CliView::Event(std::string_view name) const {
  Json event(name);
  if (slot_ >= 0) event.Add("port", port_);
  return event;
}

void CliView::SetPhase(const std::string& phase, int baud) {
  phase_ = phase;
  baud_ = baud;
  if (phase == "compare") differences_ = 0;
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
  ShowProgress();
}

void CliView::StepIt() {
  pos_ += step_;
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
  if (++differences_ > static_cast<std::size_t>(options_.maxDiffs)) return;
  console_.Emit(Event("difference")
                    .Add("address", address)
                    .Add("device", unsigned{device})
                    .Add("file", unsigned{image}));
  char at[8], was[8], wanted[8];
  std::snprintf(at, sizeof(at), "0x%04X", static_cast<unsigned>(address));
  std::snprintf(was, sizeof(was), "0x%02X", device);
  std::snprintf(wanted, sizeof(wanted), "0x%02X", image);
  Say(Tr(language_, "difference at %1: device %2, file %3", {at, was, wanted}));
}

void CliView::OnReport(const ResultReporter::ShownReport& report) {
  Json event = Event("report");
  report.id ? event.Add("id", *report.id) : event.AddNull("id");
  console_.Emit(event.Add("kind", KindName(report.kind)).Add("text", report.text));
  if (report.kind == kInformation || report.kind == kWarning) {
    Say(report.text);
    return;
  }
  if (!console_.json()) Error((report.id ? "ERROR !! " : "") + report.text);
}

void CliView::OnNotice(const std::string& text) {
  if (console_.verbose()) Say(text);
}

}  // namespace otp::cli
