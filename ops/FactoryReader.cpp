#include "ops/FactoryReader.h"

#include <algorithm>
#include <ctime>
#include <set>

#include "ops/production/RunTypes.h"

namespace otp {

namespace {

std::tm LocalTime(std::time_t t) {
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &t);
#else
  localtime_r(&t, &local);
#endif
  return local;
}

}  // namespace

std::string IsoTime(std::chrono::system_clock::time_point at) {
  const std::time_t t = std::chrono::system_clock::to_time_t(at);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &t);
#else
  gmtime_r(&t, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::pair<std::string, std::string> TodayAndHour(std::chrono::system_clock::time_point now) {
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm midnight = LocalTime(t);
  midnight.tm_min = midnight.tm_sec = 0;
  std::tm hour = midnight;
  midnight.tm_hour = 0;
  midnight.tm_isdst = hour.tm_isdst = -1;  // the zone's rule of that day decides
  return {IsoTime(std::chrono::system_clock::from_time_t(std::mktime(&midnight))),
          IsoTime(std::chrono::system_clock::from_time_t(std::mktime(&hour)))};
}

bool FactoryReader::ReadRecords(RecordStore& s, const std::string& station, StoreError& e) {
  FactoryInput::Records& records = records_[station];
  AttemptFilter filter;
  filter.station = station;
  filter.since = today_;
  const auto day = s.OutcomeCounts(filter, e);
  if (!day) return false;
  filter.since = hour_;
  const auto thisHour = s.OutcomeCounts(filter, e);
  if (!thisHour) return false;
  AttemptFilter last;
  last.station = station;
  last.last = StationView::kLastUnits;
  auto units = s.Attempts(last, e);
  if (!units) return false;
  records.today = *day;
  records.thisHour = *thisHour;
  records.last = std::move(*units);
  return true;
}

std::optional<FactorySnapshot> FactoryReader::Look(RecordStore& s,
                                                   std::chrono::system_clock::time_point now,
                                                   StoreError& e) {
  FactoryInput input;
  const auto leases = s.Leases(e);
  if (!leases) return std::nullopt;
  input.leases = *leases;
  input.grace = s.Setting(kGraceSetting, e).value_or(kDefaultGrace.count());
  if (e.kind != StoreError::Kind::kNone) return std::nullopt;
  const auto [today, hour] = TodayAndHour(now);
  // Every station, read again now and then.
  if (stations_.empty() || !stationsAt_ || now - *stationsAt_ > kStationsEvery) {
    const auto names = s.StationNames(e);
    if (!names) return std::nullopt;
    stations_ = *names;
    stationsAt_ = now;
  }
  AttemptFilter newest;
  newest.last = kNewest;
  const auto latest = s.Attempts(newest, e);
  if (!latest) return std::nullopt;
  std::set<std::string> changed;
  bool found = false;
  for (auto a = latest->rbegin(); a != latest->rend(); ++a) {
    if (a->unitId == newest_) {
      found = true;
      break;
    }
    changed.insert(a->station);
  }
  const bool all = !found || today != today_ || hour != hour_;
  today_ = today;
  hour_ = hour;
  for (const std::string& station : changed) {
    if (std::find(stations_.begin(), stations_.end(), station) == stations_.end())
      stations_.push_back(station);
  }
  for (const std::string& station : stations_) {
    if (!all && !changed.count(station) && records_.count(station)) continue;
    if (!ReadRecords(s, station, e)) return std::nullopt;
  }
  newest_ = latest->empty() ? std::string() : latest->back().unitId;
  input.stations = stations_;
  input.records = records_;
  for (const Lease& lease : input.leases) {
    if (auto live = ParseLive(lease.live)) input.live[lease.holder.owner] = *live;
  }
  // The counters the stations name, for the numbers left under their rules.
  for (const auto& [owner, live] : input.live) {
    if (live.counter.empty() || input.counters.count(live.counter)) continue;
    Counter counter;
    bool known = false;
    if (!s.ReadCounter(live.counter, counter, known, e)) return std::nullopt;
    if (known) input.counters[live.counter] = counter;
  }
  return BuildFactory(input, limits_);
}

}  // namespace otp
