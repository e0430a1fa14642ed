#pragma once

#include <chrono>
#include <cstdint>

namespace otp {

/// The time source of everything that waits or measures time. The real clock sleeps
/// the thread; a test clock advances virtual time instead, so time-out rules can be
/// checked exactly and without waiting.
class Clock {
 public:
  virtual ~Clock() = default;

  /// Monotonic time since an arbitrary origin: no step of the wall clock moves it.
  virtual std::chrono::microseconds Now() = 0;

  /// Suspends the calling thread for `duration`.
  virtual void Sleep(std::chrono::microseconds duration) = 0;

  /// The wall clock, for time stamps only: never for measuring a wait, since an operator,
  /// NTP or daylight saving may step it.
  virtual std::chrono::system_clock::time_point WallNow() = 0;

  /// Whole seconds of the monotonic time.
  std::int64_t WholeSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(Now()).count();
  }
};

/// The clock of the running program: steady time, real sleeps, the system's wall clock.
class SystemClock final : public Clock {
 public:
  std::chrono::microseconds Now() override;
  void Sleep(std::chrono::microseconds duration) override;
  std::chrono::system_clock::time_point WallNow() override;
};

}  // namespace otp
