#include "ops/PortOrder.h"

#include <algorithm>

namespace otp {

void PortOrder::WaitTurn(std::size_t port) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] {
    return std::all_of(state_.begin(), state_.begin() + static_cast<std::ptrdiff_t>(port),
                       [](State s) { return s == State::kDone; });
  });
}

void PortOrder::Set(std::size_t port, State state) {
  const std::lock_guard lock(mutex_);
  state_[port] = state;
  changed_.notify_all();
}

}  // namespace otp
