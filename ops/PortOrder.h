#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

namespace otp {

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
