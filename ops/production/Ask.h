#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "ops/StoreService.h"

namespace otp::production {

/// How long a start, or a port whose block is empty, waits for the store.
inline constexpr std::chrono::milliseconds kStoreWait{15000};

/// Asks the store for something and waits at most `deadline`: nothing, with `error`, when
/// it did not answer (away, late) or failed. The job may outlive the wait: it takes what
/// it needs by value.
template <typename R>
std::optional<R> Ask(StoreService& store,
                     std::function<std::optional<R>(RecordStore&, StoreError&)> job,
                     StoreError& error, std::chrono::milliseconds deadline = kStoreWait) {
  auto result = std::make_shared<std::optional<R>>();
  error = StoreError{};
  const auto answer = store.Call(
      [job, result](RecordStore& s, StoreError& e) { *result = job(s, e); }, deadline, error);
  if (answer != StoreService::Answer::kDone) return std::nullopt;
  return *result;
}

/// A call whose only answer is whether it worked.
inline bool Do(StoreService& store, std::function<bool(RecordStore&, StoreError&)> job,
               StoreError& error, std::chrono::milliseconds deadline = kStoreWait) {
  return Ask<bool>(
             store,
             [job](RecordStore& s, StoreError& e) -> std::optional<bool> {
               return job(s, e) ? std::optional<bool>(true) : std::nullopt;
             },
             error, deadline)
      .has_value();
}

}  // namespace otp::production
