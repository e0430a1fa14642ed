#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "core/Clock.h"

namespace otp::test {

/// A clock for tests: virtual time that only sleeps, the fake line and the test advance,
/// or real time. Either way `onSleep` runs after every sleep, so a test can act as the
/// operator while an operation waits. A wait on virtual time ends when its condition
/// holds or when virtual time, moved on by another thread, reaches its deadline.
class TestClock final : public Clock {
 public:
  explicit TestClock(bool virtualTime = true) : virtual_(virtualTime) {}

  std::chrono::microseconds Now() override {
    if (virtual_) return std::chrono::microseconds(nowUs_.load());
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
  }
  void Sleep(std::chrono::microseconds duration) override {
    if (virtual_) {
      nowUs_ += duration.count();
      WakeWaiters();
    } else {
      std::this_thread::sleep_for(duration);
    }
    ++sleeps;
    if (onSleep) onSleep();
  }
  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                 std::chrono::microseconds deadline, const std::function<bool()>& done) override {
    if (!virtual_) {
      if (deadline == kNever) {
        changed.wait(lock, done);
        return true;
      }
      return changed.wait_for(lock, deadline - Now(), done);
    }
    // The registry is touched with the waiter's mutex free, and whoever moves the time
    // takes that mutex before it notifies: no wake is lost between a look at the time
    // and the wait, and no lock is ever taken in the other order.
    const Waiter waiter{&changed, lock.mutex()};
    lock.unlock();
    {
      const std::lock_guard registry(waitersMutex_);
      waiters_.insert(waiter);
    }
    lock.lock();
    while (!done() && Now() < deadline)
      changed.wait(lock);
    lock.unlock();
    {
      const std::lock_guard registry(waitersMutex_);
      waiters_.erase(waiters_.find(waiter));
    }
    lock.lock();
    return done();
  }
  std::chrono::system_clock::time_point WallNow() override {
    if (!virtual_) return std::chrono::system_clock::now();
    return std::chrono::system_clock::time_point(std::chrono::seconds(kEpoch)) +
           std::chrono::microseconds(nowUs_ + wallStepUs);
  }

  /// Virtual time: moves forward to `us` (never back). The caller holds no mutex that a
  /// waiter on this clock waits with.
  void AdvanceTo(std::int64_t us) {
    std::int64_t now = nowUs_.load();
    while (us > now && !nowUs_.compare_exchange_weak(now, us)) {
    }
    WakeWaiters();
  }
  void Advance(std::chrono::microseconds by) { AdvanceTo(nowUs_.load() + by.count()); }
  std::int64_t nowUs() const { return nowUs_; }
  bool isVirtual() const { return virtual_; }

  /// How far the wall clock has been stepped away from virtual time (an operator setting
  /// the time, NTP, daylight saving).
  std::atomic<std::int64_t> wallStepUs{0};
  std::function<void()> onSleep;
  std::atomic<long> sleeps{0};

 private:
  using Waiter = std::pair<std::condition_variable*, std::mutex*>;
  // Held across the notifications: a waiter leaves the registry (and may then destroy
  // its condition) only once they are done.
  void WakeWaiters() {
    const std::lock_guard registry(waitersMutex_);
    for (const Waiter& w : waiters_) {
      { const std::lock_guard held(*w.second); }
      w.first->notify_all();
    }
  }

  static constexpr std::int64_t kEpoch = 1'800'000'000;
  bool virtual_;
  std::atomic<std::int64_t> nowUs_{0};
  std::mutex waitersMutex_;
  std::multiset<Waiter> waiters_;
};

}  // namespace otp::test
