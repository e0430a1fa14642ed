#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/Clock.h"
#include "ops/StoreService.h"
#include "ops/production/Wakeup.h"

namespace otp::production {

/// Items of the store that a station holds ahead (serial numbers, a lot's places), so
/// that units go on while the store is away: handed out lowest first, filled up again a
/// share at a time as they are taken. Its lock is held by no one else; any thread.
class HeldBlock {
 public:
  /// Reserves up to `count` items for this station, on the store's thread: fewer (none)
  /// when the store has no more to give.
  using Reserve = std::function<std::optional<std::vector<std::uint64_t>>(
      RecordStore&, std::size_t count, StoreError&)>;
  /// Gives items that no unit took back to the store.
  using GiveBack =
      std::function<bool(RecordStore&, const std::vector<std::uint64_t>&, StoreError&)>;

  /// How the block is kept filled.
  struct Policy {
    /// How many items it holds when full (the station's pace decides; at least 1).
    std::function<std::size_t()> target;
    /// The work a full block is enough for: the shares of a refill are spread over a
    /// quarter of it, unless the block runs low.
    std::function<std::chrono::seconds()> blockTime;
    /// Below this many the block is low and filled at once.
    std::size_t low = 2;
  };

  /// The most items asked of the store at once.
  static constexpr std::size_t kRefillShare = 128;

  HeldBlock(StoreService& store, Clock& clock, std::weak_ptr<Wakeup> wake, Reserve reserve,
            GiveBack giveBack, Policy policy);
  HeldBlock(const HeldBlock&) = delete;
  HeldBlock& operator=(const HeldBlock&) = delete;

  /// The first fill: `count` items now, waiting for the store; the rest a share at a
  /// time later. False, with `error`, when the store failed.
  bool Fill(std::size_t count, StoreError& error);
  /// Asks the store for the next share when the block is half spent or low (one request
  /// at a time). Returns when the next share is due, if one will be.
  std::optional<std::chrono::microseconds> TopUp();
  /// The lowest item, taken. An empty block whose refill is on its way, or that the
  /// store can still fill, waits for it at most `wait`; nothing when none comes.
  std::optional<std::uint64_t> Take(std::chrono::milliseconds wait);
  /// An item taken goes back in: its unit is done with it.
  void PutBack(std::uint64_t item);
  /// Gives every item left back to the store, waiting at most `deadline`; false (they
  /// stay in the block) when they could not go.
  bool Return(std::chrono::milliseconds deadline);
  /// Stops any wait for a refill.
  void Close();
  /// The store went away or came back: a wait for a refill looks again.
  void StoreChanged();

  std::size_t size() const;
  std::optional<std::uint64_t> front() const;
  /// The store gave fewer than asked: it has no more.
  bool exhausted() const;
  /// Every item held, lowest first.
  std::vector<std::uint64_t> items() const;

 private:
  struct Shared;  // what the store's answers reach, perhaps after the block is gone
  StoreService& store_;
  Clock& clock_;
  std::weak_ptr<Wakeup> wake_;
  Reserve reserve_;
  GiveBack giveBack_;
  Policy policy_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace otp::production
