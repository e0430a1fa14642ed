#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "core/Clock.h"
#include "ops/Factory.h"
#include "ops/StoreService.h"

namespace otp::production {

/// What a station publishes of itself for the factory view (its ports' states, its
/// block, job and lot), carried by its lease: sent when it changed, at most once each
/// kInterval, and again with every heartbeat. Its lock is held by no one else; any
/// thread.
class LivePublisher {
 public:
  /// The live state goes to the store at most this often.
  static constexpr std::chrono::milliseconds kInterval{1000};

  LivePublisher(StoreService& store, Clock& clock, std::string owner, StationLive first);

  /// Port `port`'s state; whether it changed.
  bool SetPort(std::size_t port, StationLive::Port::State state,
               std::optional<std::uint64_t> serial, std::optional<UnitOutcome> outcome);
  /// The run's part of the state (everything but the ports); whether it changed.
  bool SetRun(StationLive run);
  /// The state as JSON, for the heartbeat.
  std::string Json() const;
  /// Sends the state when it changed since it was last sent and that was kInterval ago;
  /// when a change waits, the moment it may go.
  std::optional<std::chrono::microseconds> Post();

 private:
  struct Shared;  // the heartbeat reads it, perhaps after the run is gone
  StoreService& store_;
  Clock& clock_;
  std::string owner_;
  std::shared_ptr<Shared> shared_;

 public:
  /// What the store's heartbeat sends (it may outlive the publisher).
  std::function<std::string()> Reader() const;
};

}  // namespace otp::production
