#include "ops/production/Block.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "ops/production/Ask.h"

namespace otp::production {

struct HeldBlock::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::uint64_t> items;        // the lowest first
  bool refilling = false;                 // a request for more is on its way
  bool filling = false;                   // the block is filled up, a share at a time
  std::chrono::microseconds lastShare{};  // when the last share was asked for
  bool exhausted = false;                 // the store gave fewer than asked: no more
  bool closed = false;

  void Insert(const std::vector<std::uint64_t>& more) {
    for (const std::uint64_t item : more)
      items.insert(std::upper_bound(items.begin(), items.end(), item), item);
  }
};

HeldBlock::HeldBlock(StoreService& store, Clock& clock, std::weak_ptr<Wakeup> wake, Reserve reserve,
                     GiveBack giveBack, Policy policy)
    : store_(store),
      clock_(clock),
      wake_(std::move(wake)),
      reserve_(std::move(reserve)),
      giveBack_(std::move(giveBack)),
      policy_(std::move(policy)),
      shared_(std::make_shared<Shared>()) {}

bool HeldBlock::Fill(std::size_t count, StoreError& error) {
  const Reserve reserve = reserve_;
  const auto items = Ask<std::vector<std::uint64_t>>(
      store_, [reserve, count](RecordStore& s, StoreError& e) { return reserve(s, count, e); },
      error);
  if (!items) return false;
  const std::lock_guard lock(shared_->mutex);
  shared_->Insert(*items);
  shared_->exhausted = items->size() < count;
  shared_->filling = count < policy_.target();  // the rest comes a share at a time
  shared_->lastShare = clock_.Now();
  return true;
}

std::optional<std::chrono::microseconds> HeldBlock::TopUp() {
  const std::size_t target = std::max<std::size_t>(1, policy_.target());
  std::size_t count = 0;
  {
    // Half spent, the block is filled up again, kRefillShare items a request: the store
    // locks its counter briefly, and the unit records queued behind a request wait for
    // little. Unless the block runs low, the shares come spread over a quarter of the
    // block's time, so that many stations filling their blocks at once (after a power
    // cut) leave the server room for their records.
    const std::lock_guard lock(shared_->mutex);
    if (shared_->refilling || shared_->exhausted || shared_->closed) return std::nullopt;
    const std::size_t size = shared_->items.size();
    if (size * 2 <= target) shared_->filling = true;
    if (size >= target) shared_->filling = false;
    if (!shared_->filling) return std::nullopt;
    const auto now = clock_.Now();
    const bool low = size * 10 <= target || size < policy_.low;  // a minute left
    const std::size_t shares = std::max<std::size_t>(1, target / kRefillShare);
    const auto pause = std::chrono::duration_cast<std::chrono::microseconds>(
        policy_.blockTime() / (4.0 * static_cast<double>(shares)));
    if (!low && now - shared_->lastShare < pause) return shared_->lastShare + pause;
    shared_->lastShare = now;
    count = std::min(target - size, kRefillShare);
    shared_->refilling = true;
  }
  const Reserve reserve = reserve_;
  std::weak_ptr<Shared> weak = shared_;
  std::weak_ptr<Wakeup> wake = wake_;
  store_.Post(
      [reserve, count, weak, wake](RecordStore& s, StoreError& e) {
        const auto items = reserve(s, count, e);
        const auto shared = weak.lock();
        if (!items || !shared) return;
        {
          const std::lock_guard lock(shared->mutex);
          shared->Insert(*items);
          shared->exhausted = items->size() < count;
          shared->refilling = false;
        }
        shared->changed.notify_all();
        if (const auto keeper = wake.lock()) keeper->Nudge();
      },
      [weak](const StoreError& e) {
        // A refusal ends the request; an unavailable store runs it again once it answers.
        const auto shared = weak.lock();
        if (!shared || !e.refused()) return;
        {
          const std::lock_guard lock(shared->mutex);
          shared->refilling = false;
        }
        shared->changed.notify_all();
      });
  return std::nullopt;
}

std::optional<std::uint64_t> HeldBlock::Take(std::chrono::milliseconds wait) {
  std::unique_lock lock(shared_->mutex);
  if (shared_->items.empty() && !shared_->exhausted && !store_.state().away) {
    // The block ran dry before its refill came: the store answers, so it comes soon.
    lock.unlock();
    TopUp();
    lock.lock();
    Shared& s = *shared_;
    StoreService& store = store_;
    clock_.WaitUntil(lock, s.changed, clock_.Now() + wait, [&s, &store] {
      return !s.items.empty() || !s.refilling || s.closed || store.state().away;
    });
  }
  if (shared_->items.empty()) return std::nullopt;
  const std::uint64_t item = shared_->items.front();
  shared_->items.pop_front();
  return item;
}

void HeldBlock::PutBack(std::uint64_t item) {
  const std::lock_guard lock(shared_->mutex);
  shared_->Insert({item});
}

bool HeldBlock::Return(std::chrono::milliseconds deadline) {
  std::vector<std::uint64_t> left = items();
  if (left.empty()) return true;
  StoreError error;
  const GiveBack giveBack = giveBack_;
  if (!Do(
          store_, [giveBack, left](RecordStore& s, StoreError& e) { return giveBack(s, left, e); },
          error, deadline)) {
    return false;
  }
  const std::lock_guard lock(shared_->mutex);
  for (const std::uint64_t item : left)
    shared_->items.erase(std::remove(shared_->items.begin(), shared_->items.end(), item),
                         shared_->items.end());
  return true;
}

void HeldBlock::Close() {
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->closed = true;
  }
  shared_->changed.notify_all();
}

void HeldBlock::StoreChanged() {
  { const std::lock_guard lock(shared_->mutex); }
  shared_->changed.notify_all();
}

std::size_t HeldBlock::size() const {
  const std::lock_guard lock(shared_->mutex);
  return shared_->items.size();
}

std::optional<std::uint64_t> HeldBlock::front() const {
  const std::lock_guard lock(shared_->mutex);
  if (shared_->items.empty()) return std::nullopt;
  return shared_->items.front();
}

bool HeldBlock::exhausted() const {
  const std::lock_guard lock(shared_->mutex);
  return shared_->exhausted;
}

std::vector<std::uint64_t> HeldBlock::items() const {
  const std::lock_guard lock(shared_->mutex);
  return {shared_->items.begin(), shared_->items.end()};
}

}  // namespace otp::production
