#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "ops/RecordStore.h"

namespace otp {

/// The store as a service: a thread of its own holds the connection for its whole life,
/// opens it again (with growing pauses) when the server drops it or restarts, and runs
/// what is asked of the store there. Whoever asks waits for an answer at most as long as
/// it says; a store that is away is said at once. Every method may be called from any
/// thread.
class StoreService {
 public:
  /// Opens the store (on the service's thread); null, with `error`, when it cannot.
  using Opener = std::function<std::unique_ptr<RecordStore>(StoreError& error)>;
  /// Work with the store. It runs on the service's thread, perhaps after its caller
  /// stopped waiting: it takes what it needs by value, and reports through `error`.
  using Job = std::function<void(RecordStore& store, StoreError& error)>;

  struct Options {
    /// How often `OnBeat` runs while the store answers.
    std::chrono::milliseconds beat{10000};
    /// The pause before the first attempt to open the store again, doubled each time up
    /// to `longestPause`.
    std::chrono::milliseconds firstPause{250};
    std::chrono::milliseconds longestPause{8000};
  };

  explicit StoreService(Opener opener);
  StoreService(Opener opener, Options options);
  /// Close(1 s).
  ~StoreService();
  StoreService(const StoreService&) = delete;
  StoreService& operator=(const StoreService&) = delete;

  /// Opens the store now and waits at most `deadline` for it; false, with `error`, when
  /// it cannot be opened (the service goes on trying).
  bool Open(StoreError& error, std::chrono::milliseconds deadline);

  enum class Answer {
    kDone,    // the job ran: its own error says how it went
    kAway,    // the store is away: the job did not run
    kLate,    // no answer within the deadline: the job may still run
    kClosed,  // the service is closed
  };
  /// Runs `job` and waits at most `deadline` for it. A store known to be away answers
  /// kAway at once. `error` holds the job's error, or why it did not run.
  Answer Call(Job job, std::chrono::milliseconds deadline, StoreError& error);

  /// Queues `job`: it runs when the store answers, after the jobs queued before it, again
  /// after each reconnection while it finds the store unavailable. `done` (on the
  /// service's thread) hears how it ended: ran, or refused.
  void Post(Job job, std::function<void(const StoreError& error)> done = {});
  /// Jobs queued and not done.
  std::size_t Pending() const;

  /// Runs after every opening of the store, before any job: a lease taken again. A
  /// failure makes the opening fail.
  void OnConnect(Job job);
  /// Runs every Options::beat while the store answers.
  void OnBeat(Job job);
  /// Runs (on the service's thread, with no lock held) whenever the store goes away or
  /// answers again. It must be quick and must not call the service back and wait.
  void OnChange(std::function<void()> changed);

  /// Whether the store answers, and since when it does not.
  struct State {
    bool away = false;
    std::string error;                              // why, when away
    std::chrono::steady_clock::time_point since{};  // away since
  };
  State state() const;

  /// Ends the service: waits at most `deadline` for the job that runs now; what is queued
  /// is dropped (a station's journal keeps it). The store is closed on its thread.
  void Close(std::chrono::milliseconds deadline);

 private:
  struct Core;
  std::shared_ptr<Core> core_;
};

}  // namespace otp
