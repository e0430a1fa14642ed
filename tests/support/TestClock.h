#pragma once

#include <chrono>
#include <functional>
#include <thread>

#include "core/Clock.h"

namespace otp::test {

/// A clock for tests: virtual time that only sleeps and the fake line advance, or real
/// time. Either way `onSleep` runs after every sleep, so a test can act as the operator
/// while an operation waits.
class TestClock final : public Clock {
 public:
  explicit TestClock(bool virtualTime = true) : virtual_(virtualTime) {}

  std::chrono::microseconds Now() override {
    if (virtual_) return std::chrono::microseconds(nowUs_);
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
  }
  void Sleep(std::chrono::microseconds duration) override {
    if (virtual_) {
      nowUs_ += duration.count();
    } else {
      std::this_thread::sleep_for(duration);
    }
    ++sleeps;
    if (onSleep) onSleep();
  }
  std::chrono::system_clock::time_point WallNow() override {
    if (!virtual_) return std::chrono::system_clock::now();
    return std::chrono::system_clock::time_point(std::chrono::seconds(kEpoch)) +
           std::chrono::microseconds(nowUs_ + wallStepUs);
  }

  /// Virtual time: moves forward to `us` (never back).
  void AdvanceTo(std::int64_t us) {
    if (us > nowUs_) nowUs_ = us;
  }
  std::int64_t nowUs() const { return nowUs_; }
  bool isVirtual() const { return virtual_; }

  /// How far the wall clock has been stepped away from virtual time (an operator setting
  /// the time, NTP, daylight saving).
  std::int64_t wallStepUs = 0;
  std::function<void()> onSleep;
  long sleeps = 0;

 private:
  static constexpr std::int64_t kEpoch = 1'800'000'000;
  bool virtual_;
  std::int64_t nowUs_ = 0;
};

}  // namespace otp::test
