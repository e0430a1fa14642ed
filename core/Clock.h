#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace otp {

/// A deadline that never comes: a wait that only its condition ends.
inline constexpr std::chrono::microseconds kNever = std::chrono::microseconds::max();

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

  /// Waits on `changed`, with `lock` held, until `done` holds or this clock reaches
  /// `deadline` (a time of Now(), or kNever); whether `done` holds. Whoever makes `done` true
  /// notifies `changed` with the lock's mutex held or just after.
  virtual bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                         std::chrono::microseconds deadline, const std::function<bool()>& done) = 0;

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
  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                 std::chrono::microseconds deadline, const std::function<bool()>& done) override;
  std::chrono::system_clock::time_point WallNow() override;
};

/// `clock`'s wall time, UTC, ISO 8601 ("2026-12-07T12:34:56Z").
std::string IsoNow(Clock& clock);

}  // namespace otp
