#include "core/Clock.h"

#include <thread>

namespace otp {

std::chrono::microseconds SystemClock::Now() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
}

void SystemClock::Sleep(std::chrono::microseconds duration) {
  if (duration.count() > 0) std::this_thread::sleep_for(duration);
}

std::chrono::system_clock::time_point SystemClock::WallNow() {
  return std::chrono::system_clock::now();
}

}  // namespace otp
