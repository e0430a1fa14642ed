#include "cli/Console.h"

#include <algorithm>
#include <cmath>

namespace otp::cli {

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

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
  char number[32];
  std::snprintf(number, sizeof(number), "%.3f", std::isfinite(value) ? value : 0.0);
  text_ += number;
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

void Console::ClearProgressLocked() {
  if (!progressShown_) return;
  std::fputs("\r\033[K", stdout);
  progressShown_ = false;
}

void Console::Emit(const Json& event) {
  if (mode_ != Mode::kJson) return;
  std::lock_guard<std::mutex> lock(mutex_);
  std::fputs(event.Text().c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void Console::Say(std::string_view text) {
  if (mode_ == Mode::kJson || quiet_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  ClearProgressLocked();
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void Console::Error(std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  ClearProgressLocked();
  std::fflush(stdout);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void Console::Progress(std::string_view phase, int done, int total, int baud) {
  if (quiet_ || total <= 0) return;
  if (mode_ == Mode::kJson) {
    Emit(Json("progress").Add("phase", phase).Add("done", done).Add("total", total));
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (phase != phase_ || done == 0) {
    phase_ = std::string(phase);
    phaseStart_ = now;
  }
  if (mode_ == Mode::kPlain) {
    // A line at each quarter: enough to follow a log, never a carriage return.
    if (done == total || (done > 0 && done % std::max(1, total / 4) == 0)) {
      std::printf("%.*s: %d/%d%s\n", static_cast<int>(phase.size()), phase.data(), done, total,
                  total > 1 ? " blocks" : "");
      std::fflush(stdout);
    }
    return;
  }
  constexpr int kWidth = 24;
  const int filled = done * kWidth / total;
  const std::string bar = std::string(filled, '#') + std::string(kWidth - filled, '-');
  std::string left = "";
  const double elapsed = std::chrono::duration<double>(now - phaseStart_).count();
  if (done > 0 && done < total) {
    const int seconds = static_cast<int>(std::lround(elapsed / done * (total - done)));
    char text[32];
    std::snprintf(text, sizeof(text), "  %d:%02d left", seconds / 60, seconds % 60);
    left = text;
  }
  std::printf("\r\033[K%-12.*s [%s] %2d/%d  %d bit/s%s", static_cast<int>(phase.size()),
              phase.data(), bar.c_str(), done, total, baud, left.c_str());
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
  std::fflush(stdout);
}

}  // namespace otp::cli
