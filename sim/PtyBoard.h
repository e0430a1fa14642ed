#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "sim/TargetBoard.h"

struct termios;

namespace otp::sim {

/// Runs a TargetBoard on a pseudo-terminal, in real time, on a thread of its own. The
/// terminal's device is linked at a path of the caller's choice, so that a program can
/// open the board like a serial port. With pacing, every byte of the board takes its
/// time on the line (10 bits a byte) at the bit rate the host set, or at a fixed one.
class PtyBoard {
 public:
  struct Options {
    std::string linkPath;  // where the device is linked; empty: no link
    bool pace = false;
    int paceBaud = 0;  // 0: the bit rate that the host set on its side of the line
  };

  PtyBoard(TargetBoard& board, Options options);
  ~PtyBoard();
  PtyBoard(const PtyBoard&) = delete;
  PtyBoard& operator=(const PtyBoard&) = delete;

  /// Opens the terminal, makes the link and starts the thread. False with `error` set
  /// when that fails, and when the link belongs to a simulator that is running.
  bool Start(std::string* error);
  /// Stops the thread, closes the terminal and removes the link. Returns promptly even
  /// when the host has stopped reading.
  void Stop();
  /// Presses the board's reset button: replies still on their way are dropped.
  void Reset();

  /// The terminal's device (/dev/pts/N).
  const std::string& device() const { return device_; }
  /// The line settings that the host set on its side; false when they cannot be read.
  bool HostSettings(termios* settings) const;

  /// True once the line went away (a hang-up fault); the link is gone by then.
  bool hungUp() const { return hungUp_; }

  /// Runs `f` on the board while the thread leaves it alone. The thread never holds the
  /// board across a wait, so this returns promptly.
  template <typename F>
  auto WithBoard(F&& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f(board_);
  }

  /// Whether `path` is a link to the terminal of a board that is running.
  static bool LinkHeld(const std::string& path);

 private:
  void Run();
  void Wake();
  // Removes the link if it still leads to this board's terminal.
  void RemoveOwnLink();
  void CloseTerminal();
  std::int64_t NowUs() const;
  std::int64_t HostByteTime() const;  // with mutex_ held

  TargetBoard& board_;
  Options options_;
  std::string device_;
  // The terminal's descriptors: the thread closes them at a hang-up, so every other use
  // holds mutex_.
  int master_ = -1;
  int slave_ = -1;  // held open so the line survives the host closing and reopening it
  int wake_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::atomic<bool> hungUp_{false};
  std::atomic<unsigned> resets_{0};  // counts presses of the reset button
  mutable std::mutex mutex_;
  std::thread thread_;
};

/// Bit rate of a terminal speed setting, 0 when unknown.
int BaudOfSpeed(unsigned speed);

}  // namespace otp::sim
