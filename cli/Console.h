#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/Texts.h"

namespace otp::cli {

/// One JSON object on one line, built key by key in order.
class Json {
 public:
  /// An event: its first key is "event".
  explicit Json(std::string_view event) { Add("event", event); }
  /// A plain object, for a value inside an event.
  Json() = default;
  Json& Add(std::string_view key, std::string_view value);
  Json& Add(std::string_view key, const char* value) { return Add(key, std::string_view(value)); }
  Json& Add(std::string_view key, long long value);
  Json& Add(std::string_view key, int value) { return Add(key, static_cast<long long>(value)); }
  Json& Add(std::string_view key, unsigned value) {
    return Add(key, static_cast<long long>(value));
  }
  Json& Add(std::string_view key, std::size_t value) {
    return Add(key, static_cast<long long>(value));
  }
  Json& Add(std::string_view key, double value);
  Json& Add(std::string_view key, bool value);
  Json& AddNull(std::string_view key);
  /// A value that is JSON already (an array, an object).
  Json& AddRaw(std::string_view key, std::string_view json);
  std::string Text() const { return text_ + "}"; }

 private:
  void Key(std::string_view key);
  std::string text_ = "{";
};

using otp::JsonString;

/// Where the command line writes: prose and progress for a person (redrawn in place on a
/// terminal, plain lines otherwise), or one JSON object per line and nothing else on
/// standard output. Errors go to standard error. Safe to use from several threads.
class Console {
 public:
  enum class Mode { kTerminal, kPlain, kJson };

  Console(Mode mode, bool quiet, bool verbose);

  Mode mode() const { return mode_; }
  bool json() const { return mode_ == Mode::kJson; }
  bool verbose() const { return verbose_; }

  /// Several ports at once: one progress line for each of `labels` (the ports), redrawn
  /// in place on a terminal; every line of a port is prefixed by its label.
  void SetSlots(std::vector<std::string> labels);
  bool gang() const { return !labels_.empty(); }
  /// The ports' progress lines are gone from the terminal; lines carry no port again.
  void DropSlots();

  /// A JSON event (JSON mode only).
  void Emit(const Json& event);
  /// A line for the person at the terminal (not in JSON mode, not when quiet); with a
  /// slot, prefixed by its port.
  void Say(std::string_view text, int slot = -1);
  /// A line on standard error: errors and warnings, in every mode.
  void Error(std::string_view text, int slot = -1);
  /// Redraws the progress of `phase` (a bar on a terminal; a plain line each quarter).
  void Progress(std::string_view phase, int done, int total, int baud, int slot = -1);
  /// Ends a progress line that is being redrawn.
  void EndProgress();

 private:
  void ClearProgressLocked();
  void DrawSlotsLocked();
  std::string Prefixed(std::string_view text, int slot) const;
  struct Phase {
    std::string name;
    std::chrono::steady_clock::time_point start{};
  };
  std::string Bar(Phase& phase, std::string_view name, int done, int total, int baud);

  Mode mode_;
  bool quiet_;
  bool verbose_;
  std::mutex mutex_;
  bool progressShown_ = false;
  Phase phase_;
  std::vector<std::string> labels_;
  std::vector<std::string> slotLines_;
  std::vector<Phase> slotPhases_;
  bool slotsShown_ = false;
};

}  // namespace otp::cli
