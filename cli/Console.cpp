#include "cli/Console.h"

#include "core/Texts.h"

#include <algorithm>
#include <cmath>

namespace otp::cli {

void Json::Key(std::string_view key) {
  if (text_.size() > 1) text_ += ",";
  text_ += JsonString(key) + ":";
}

Json& Json::Add(std::string_view key, std::string_view value) {
  Key(key);
  text_ += JsonString(value);
  return *this;
}

Json& Json::Add(std::string_view key, long long value) {
  Key(key);
  text_ += std::to_string(value);
  return *this;
}

Json& Json::Add(std::string_view key, double value) {
  Key(key);
  text_ += Decimal(value, 3);
  return *this;
}

Json& Json::Add(std::string_view key, bool value) {
  Key(key);
  text_ += value ? "true" : "false";
  return *this;
}

Json& Json::AddNull(std::string_view key) {
  Key(key);
  text_ += "null";
  return *this;
}

Json& Json::AddRaw(std::string_view key, std::string_view json) {
  Key(key);
  text_ += json;
  return *this;
}

Console::Console(Mode mode, bool quiet, bool verbose)
    : mode_(mode), quiet_(quiet), verbose_(verbose) {}

void Console::SetSlots(std::vector<std::string> labels) {
  std::lock_guard<std::mutex> lock(mutex_);
  labels_ = std::move(labels);
  slotLines_.assign(labels_.size(), std::string());
  slotPhases_.assign(labels_.size(), Phase{});
  for (std::size_t i = 0; i < labels_.size(); ++i)
    slotLines_[i] = labels_[i] + ":";
}

void Console::DropSlots() {
  std::lock_guard<std::mutex> lock(mutex_);
  ClearProgressLocked();
  labels_.clear();
  slotLines_.clear();
  slotPhases_.clear();
  std::fflush(stdout);
}

std::string Console::Prefixed(std::string_view text, int slot) const {
  if (slot < 0 || static_cast<std::size_t>(slot) >= labels_.size()) return std::string(text);
  // Every line of a port's text carries the port.
  std::string out;
  std::size_t pos = 0;
  while (true) {
    const auto lf = text.find('\n', pos);
    out += labels_[static_cast<std::size_t>(slot)] + ": " +
           std::string(text.substr(pos, lf == std::string_view::npos ? lf : lf - pos));
    if (lf == std::string_view::npos) return out;
    out += '\n';
    pos = lf + 1;
  }
}

void Console::ClearProgressLocked() {
  if (slotsShown_) {
    std::printf("\033[%zuA\r\033[J", slotLines_.size());
    slotsShown_ = false;
  }
  if (!progressShown_) return;
  std::fputs("\r\033[K", stdout);
  progressShown_ = false;
}

void Console::DrawSlotsLocked() {
  if (slotsShown_) std::printf("\033[%zuA", slotLines_.size());
  for (const std::string& line : slotLines_)
    std::printf("\r\033[K%s\n", line.c_str());
  slotsShown_ = true;
  std::fflush(stdout);
}

void Console::Emit(const Json& event) {
  if (mode_ != Mode::kJson) return;
  std::lock_guard<std::mutex> lock(mutex_);
  std::fputs(event.Text().c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void Console::Say(std::string_view text, int slot) {
  if (mode_ == Mode::kJson || quiet_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  const bool redraw = slotsShown_;
  ClearProgressLocked();
  const std::string line = Prefixed(text, slot);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  if (redraw) DrawSlotsLocked();
  std::fflush(stdout);
}

void Console::Error(std::string_view text, int slot) {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool redraw = slotsShown_;
  ClearProgressLocked();
  std::fflush(stdout);
  const std::string line = Prefixed(text, slot);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  if (redraw) DrawSlotsLocked();
}

std::string Console::Bar(Phase& phase, std::string_view name, int done, int total, int baud) {
  const auto now = std::chrono::steady_clock::now();
  if (name != phase.name || done == 0) {
    phase.name = std::string(name);
    phase.start = now;
  }
  constexpr int kWidth = 24;
  const int filled = done * kWidth / total;
  const std::string bar = std::string(filled, '#') + std::string(kWidth - filled, '-');
  std::string left;
  const double elapsed = std::chrono::duration<double>(now - phase.start).count();
  if (done > 0 && done < total) {
    const int seconds = static_cast<int>(std::lround(elapsed / done * (total - done)));
    char text[32];
    std::snprintf(text, sizeof(text), "  %d:%02d left", seconds / 60, seconds % 60);
    left = text;
  }
  char line[160];
  std::snprintf(line, sizeof(line), "%-12.*s [%s] %2d/%d  %d bit/s%s",
                static_cast<int>(name.size()), name.data(), bar.c_str(), done, total, baud,
                left.c_str());
  return line;
}

void Console::Progress(std::string_view phase, int done, int total, int baud, int slot) {
  if (quiet_ || total <= 0) return;
  if (mode_ == Mode::kJson) return;  // the view emits its own progress events
  std::lock_guard<std::mutex> lock(mutex_);
  const bool inSlot = slot >= 0 && static_cast<std::size_t>(slot) < labels_.size();
  if (mode_ == Mode::kPlain) {
    // A line at each quarter: enough to follow a log, never a carriage return.
    if (done == total || (done > 0 && done % std::max(1, total / 4) == 0)) {
      char line[160];
      std::snprintf(line, sizeof(line), "%.*s: %d/%d%s", static_cast<int>(phase.size()),
                    phase.data(), done, total, total > 1 ? " blocks" : "");
      const std::string text = Prefixed(line, inSlot ? slot : -1);
      std::printf("%s\n", text.c_str());
      std::fflush(stdout);
    }
    return;
  }
  if (inSlot) {
    const auto index = static_cast<std::size_t>(slot);
    slotLines_[index] = labels_[index] + ": " + Bar(slotPhases_[index], phase, done, total, baud);
    ClearProgressLocked();
    DrawSlotsLocked();
    return;
  }
  const std::string line = Bar(phase_, phase, done, total, baud);
  std::printf("\r\033[K%s", line.c_str());
  progressShown_ = true;
  if (done == total) {
    std::fputc('\n', stdout);
    progressShown_ = false;
  }
  std::fflush(stdout);
}

void Console::EndProgress() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (progressShown_) {
    std::fputc('\n', stdout);
    progressShown_ = false;
  }
  slotsShown_ = false;  // the lines stay as they are
  std::fflush(stdout);
}

}  // namespace otp::cli
