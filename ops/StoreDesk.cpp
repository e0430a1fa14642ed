#include "ops/StoreDesk.h"

#include <algorithm>

namespace otp {

void StoreDesk::Call(const std::function<void()>& job) {
  Request request{&job};
  std::unique_lock lock(mutex_);
  queue_.push_back(&request);
  changed_.notify_all();
  changed_.wait(lock, [&] { return request.done; });
}

void StoreDesk::Leave() {
  const std::lock_guard lock(mutex_);
  ++left_;
  changed_.notify_all();
}

void StoreDesk::Serve(std::size_t workers) {
  std::unique_lock lock(mutex_);
  while (true) {
    changed_.wait(lock, [&] { return !queue_.empty() || left_ >= workers; });
    if (queue_.empty()) break;
    Request* request = queue_.front();
    queue_.pop_front();
    lock.unlock();
    (*request->job)();
    lock.lock();
    request->done = true;
    changed_.notify_all();
  }
  left_ = 0;
}

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
