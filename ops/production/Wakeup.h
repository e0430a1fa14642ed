#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "core/Clock.h"

namespace otp::production {

/// What the run's keeper thread waits for: a nudge from any part of the run (an answer
/// of the store, a number taken, a port's state), the store going away or coming back,
/// the next moment something is due, or the end. Its lock is held by no one else.
class Wakeup {
 public:
  explicit Wakeup(Clock& clock) : clock_(clock) {}
  /// Something changed: the keeper looks. Any thread.
  void Nudge() {
    {
      const std::lock_guard lock(mutex_);
      nudged_ = true;
    }
    changed_.notify_all();
  }
  /// Waits until nudged, closed or `until` (a time of the clock, or kNever); clears the
  /// nudge. Whether the keeper goes on.
  bool Wait(std::chrono::microseconds until) {
    std::unique_lock lock(mutex_);
    clock_.WaitUntil(lock, changed_, until, [this] { return nudged_ || closed_; });
    nudged_ = false;
    return !closed_;
  }
  void Close() {
    {
      const std::lock_guard lock(mutex_);
      closed_ = true;
    }
    changed_.notify_all();
  }

 private:
  Clock& clock_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool nudged_ = false;
  bool closed_ = false;
};

}  // namespace otp::production
