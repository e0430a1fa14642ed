#include "core/Clock.h"

#include <ctime>
#include <thread>

namespace otp {

std::chrono::microseconds SystemClock::Now() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
}

void SystemClock::Sleep(std::chrono::microseconds duration) {
  if (duration.count() > 0) std::this_thread::sleep_for(duration);
}

bool SystemClock::WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                            std::chrono::microseconds deadline, const std::function<bool()>& done) {
  if (deadline == kNever) {
    changed.wait(lock, done);
    return true;
  }
  // Now() is the steady clock's time since its epoch.
  const auto at = std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(deadline));
  return changed.wait_until(lock, at, done);
}

std::chrono::system_clock::time_point SystemClock::WallNow() {
  return std::chrono::system_clock::now();
}

std::string IsoNow(Clock& clock) {
  const std::time_t now = std::chrono::system_clock::to_time_t(clock.WallNow());
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

}  // namespace otp
