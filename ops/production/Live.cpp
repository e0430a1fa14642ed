#include "ops/production/Live.h"

#include <mutex>

namespace otp::production {

struct LivePublisher::Shared {
  std::mutex mutex;
  StationLive live;
  std::string json;
  std::string posted;                                 // the state last sent
  std::optional<std::chrono::microseconds> postedAt;  // ... and when
};

LivePublisher::LivePublisher(StoreService& store, Clock& clock, std::string owner,
                             StationLive first)
    : store_(store), clock_(clock), owner_(std::move(owner)), shared_(std::make_shared<Shared>()) {
  shared_->live = std::move(first);
  shared_->json = LiveJson(shared_->live);
}

bool LivePublisher::SetPort(std::size_t port, StationLive::Port::State state,
                            std::optional<std::uint64_t> serial,
                            std::optional<UnitOutcome> outcome) {
  const std::lock_guard lock(shared_->mutex);
  if (port >= shared_->live.ports.size()) return false;
  StationLive::Port& live = shared_->live.ports[port];
  if (live.state == state && live.serial == serial && live.outcome == outcome) return false;
  live.state = state;
  live.serial = serial;
  live.outcome = outcome;
  shared_->json = LiveJson(shared_->live);
  return true;
}

bool LivePublisher::SetRun(StationLive run) {
  const std::lock_guard lock(shared_->mutex);
  run.ports = shared_->live.ports;
  const std::string json = LiveJson(run);
  if (json == shared_->json) return false;
  shared_->live = std::move(run);
  shared_->json = json;
  return true;
}

std::string LivePublisher::Json() const {
  const std::lock_guard lock(shared_->mutex);
  return shared_->json;
}

std::function<std::string()> LivePublisher::Reader() const {
  std::weak_ptr<Shared> weak = shared_;
  return [weak] {
    const auto shared = weak.lock();
    if (!shared) return std::string();
    const std::lock_guard lock(shared->mutex);
    return shared->json;
  };
}

std::optional<std::chrono::microseconds> LivePublisher::Post() {
  std::string live;
  {
    const std::lock_guard lock(shared_->mutex);
    if (shared_->json == shared_->posted) return std::nullopt;
    const auto now = clock_.Now();
    if (shared_->postedAt && now - *shared_->postedAt < kInterval) {
      return *shared_->postedAt + std::chrono::microseconds(kInterval);
    }
    live = shared_->posted = shared_->json;
    shared_->postedAt = now;
  }
  // The lease carries it; the heartbeat sends it again every beat.
  if (store_.state().away) return std::nullopt;
  const std::string owner = owner_;
  store_.Post([owner, live](RecordStore& s, StoreError& e) { s.Heartbeat(owner, live, e); });
  return std::nullopt;
}

}  // namespace otp::production
