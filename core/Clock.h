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

  /// Monotonic time since an arbitrary origin.
  virtual std::chrono::microseconds Now() = 0;

  /// Suspends the calling thread for `duration`.
  virtual void Sleep(std::chrono::microseconds duration) = 0;

  /// Calendar time in whole seconds, as time() gives it.
  virtual std::int64_t CalendarSeconds() = 0;
};

/// The clock of the running program: steady time, real sleeps, the system calendar.
class SystemClock final : public Clock {
 public:
  std::chrono::microseconds Now() override;
  void Sleep(std::chrono::microseconds duration) override;
  std::int64_t CalendarSeconds() override;
};

}  // namespace otp
