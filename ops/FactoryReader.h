#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ops/Factory.h"
#include "ops/RecordStore.h"

namespace otp {

/// Local midnight and the start of the hour that `now` lies in, as the records keep times
/// (UTC, ISO 8601): what "today" and "this hour" of the figures begin at, for every face.
std::pair<std::string, std::string> TodayAndHour(std::chrono::system_clock::time_point now);

/// `at` as the records keep times: UTC, ISO 8601 ("2026-12-07T12:34:56Z").
std::string IsoTime(std::chrono::system_clock::time_point at);

/// Reads the factory view from a store, a look at a time, and keeps what it read so that
/// the next look reads little: every lease and what its station publishes, and the counts
/// of today and of this hour of only the stations that recorded units since the last look
/// (of all, when the hour turned or the newest units are more than it looks at), with
/// their last units. Used on one thread (the store service's).
class FactoryReader {
 public:
  explicit FactoryReader(AlarmLimits limits) : limits_(limits) {}

  /// One look at `store` at wall time `now`: the snapshot, or nothing with `error`.
  std::optional<FactorySnapshot> Look(RecordStore& store, std::chrono::system_clock::time_point now,
                                      StoreError& error);

  /// The newest units one look reads to find the stations that changed.
  static constexpr std::size_t kNewest = 200;
  /// How often the list of stations is read again whatever changed.
  static constexpr std::chrono::seconds kStationsEvery{60};

 private:
  bool ReadRecords(RecordStore& store, const std::string& station, StoreError& error);

  AlarmLimits limits_;
  std::vector<std::string> stations_;
  std::optional<std::chrono::system_clock::time_point> stationsAt_;
  std::map<std::string, FactoryInput::Records> records_;
  std::string newest_;  // the newest attempt's unit id at the last look
  std::string today_;   // the day and hour the counts are of
  std::string hour_;
};

}  // namespace otp
