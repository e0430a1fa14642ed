#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace otp {

/// Where the ports' threads hand their work with the store (and its journal) to the one
/// thread that uses them: a store connection belongs to the thread that opened it.
class StoreDesk {
 public:
  /// From a port's thread: runs `job` on the serving thread and returns once it ran.
  void Call(const std::function<void()>& job);
  /// From a port's thread, when it has nothing more to ask.
  void Leave();
  /// The serving thread: runs the calls as they come until `workers` have left.
  void Serve(std::size_t workers);

 private:
  struct Request {
    const std::function<void()>* job;
    bool done = false;
  };
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Request*> queue_;
  std::size_t left_ = 0;
};

/// Serial numbers in port order for a round: port k takes its number only once every
/// port before it has taken its own or passed, so the first port holds the lowest
/// number of the round whatever the order in which the Downloads end.
class PortOrder {
 public:
  explicit PortOrder(std::size_t ports) : state_(ports, State::kPending) {}
  /// Blocks until every port before `port` has taken its number or passed.
  void WaitTurn(std::size_t port);
  /// `port` took its number (or found none).
  void Done(std::size_t port) { Set(port, State::kDone); }
  /// `port` asks for no number (its Download failed).
  void Pass(std::size_t port) { Set(port, State::kDone); }

 private:
  enum class State { kPending, kDone };
  void Set(std::size_t port, State state);
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<State> state_;
};

}  // namespace otp
