#include "ops/Factory.h"

#include <algorithm>

#include "core/JsonValue.h"
#include "core/Texts.h"

namespace otp {

namespace {

constexpr std::pair<StationLive::Port::State, const char*> kPortStates[] = {
    {StationLive::Port::State::kIdle, "idle"},
    {StationLive::Port::State::kWaiting, "waiting"},
    {StationLive::Port::State::kWorking, "working"},
    {StationLive::Port::State::kEnded, "ended"},
};

// Pass over pass and fail, in percent; nothing when no part was written.
std::optional<double> YieldOf(int passed, int failed) {
  if (passed + failed == 0) return std::nullopt;
  return 100.0 * passed / (passed + failed);
}

}  // namespace

const char* PortStateName(StationLive::Port::State state) {
  for (const auto& [s, name] : kPortStates)
    if (s == state) return name;
  return "idle";
}

std::optional<StationLive::Port::State> PortStateNamed(std::string_view name) {
  for (const auto& [s, text] : kPortStates)
    if (name == text) return s;
  return std::nullopt;
}

std::string LiveJson(const StationLive& live) {
  std::string json = "{\"away\":" + std::string(live.away ? "true" : "false") +
                     ",\"waiting\":" + std::to_string(live.waiting);
  if (live.numbersLeft) json += ",\"numbersLeft\":" + std::to_string(*live.numbersLeft);
  if (!live.counter.empty()) json += ",\"counter\":" + JsonString(live.counter);
  if (live.largest) json += ",\"largest\":" + std::to_string(*live.largest);
  if (!live.job.empty()) json += ",\"job\":" + JsonString(live.job);
  if (!live.lot.empty()) {
    json += ",\"lot\":" + JsonString(live.lot) + ",\"quantity\":" + std::to_string(live.quantity) +
            ",\"lotPassed\":" + std::to_string(live.lotPassed);
  }
  json += ",\"ports\":[";
  for (std::size_t i = 0; i < live.ports.size(); ++i) {
    const StationLive::Port& port = live.ports[i];
    json += std::string(i ? "," : "") + "{\"port\":" + JsonString(port.name) + ",\"state\":\"" +
            PortStateName(port.state) + "\"";
    if (port.serial) json += ",\"serial\":" + std::to_string(*port.serial);
    if (port.outcome) json += ",\"outcome\":\"" + std::string(OutcomeName(*port.outcome)) + "\"";
    json += "}";
  }
  return json + "]}";
}

std::optional<StationLive> ParseLive(const std::string& live) {
  const auto read = JsonValue::Parse(live);
  if (!read || !read->IsObject()) return std::nullopt;
  const JsonValue& o = *read;
  auto count = [](const JsonValue& value) {
    return value.Number() > 0 && value.Number() < 9e15 ? static_cast<std::uint64_t>(value.Number())
                                                       : std::uint64_t{0};
  };
  StationLive parsed;
  parsed.away = o["away"].Bool();
  parsed.waiting = static_cast<std::size_t>(count(o["waiting"]));
  if (o["numbersLeft"].IsNumber()) parsed.numbersLeft = count(o["numbersLeft"]);
  parsed.counter = o["counter"].String();
  if (o["largest"].IsNumber() && o["largest"].Number() >= 0) parsed.largest = count(o["largest"]);
  parsed.job = o["job"].String();
  parsed.lot = o["lot"].String();
  parsed.quantity = count(o["quantity"]);
  parsed.lotPassed = static_cast<int>(std::min<std::uint64_t>(count(o["lotPassed"]), 1u << 30));
  for (const JsonValue& p : o["ports"].Items()) {
    StationLive::Port port;
    port.name = p["port"].String();
    port.state = PortStateNamed(p["state"].String()).value_or(StationLive::Port::State::kIdle);
    if (p["serial"].IsNumber()) port.serial = count(p["serial"]);
    port.outcome = OutcomeNamed(p["outcome"].String());
    parsed.ports.push_back(std::move(port));
  }
  return parsed;
}

const char* StationStateName(StationView::State state) {
  switch (state) {
    case StationView::State::kBurning:
      return "burning";
    case StationView::State::kIdle:
      return "idle";
    case StationView::State::kAway:
      return "away";
    case StationView::State::kStopped:
      return "stopped";
    case StationView::State::kGone:
      return "gone";
  }
  return "stopped";
}

const char* AlarmKindName(Alarm::Kind kind) {
  switch (kind) {
    case Alarm::Kind::kLowYield:
      return "low-yield";
    case Alarm::Kind::kPortFailing:
      return "port-failing";
    case Alarm::Kind::kSilent:
      return "silent";
  }
  return "";
}

FactorySnapshot BuildFactory(const FactoryInput& input, const AlarmLimits& limits) {
  std::map<std::string, StationView> stations;
  for (const std::string& name : input.stations)
    stations[name].name = name;
  // The freshest lease of each station tells its state; a station may have two
  // processes, and then the busier one counts.
  for (const Lease& lease : input.leases) {
    StationView& view = stations[lease.holder.station];
    view.name = lease.holder.station;
    if (view.silent >= 0 && view.silent < lease.silent) continue;
    view.silent = lease.silent;
    view.host = lease.holder.host;
    const auto live = input.live.find(lease.holder.owner);
    const bool heard = lease.silent <= limits.quiet;
    if (lease.silent > input.grace) {
      view.state = StationView::State::kGone;
    } else if (!heard || (live != input.live.end() && live->second.away)) {
      view.state = StationView::State::kAway;
    } else {
      view.state = StationView::State::kIdle;
    }
    if (live == input.live.end()) continue;
    const StationLive& l = live->second;
    view.job = l.job;
    view.lot = l.lot;
    view.quantity = l.quantity;
    view.lotPassed = l.lotPassed;
    view.numbersLeft = l.numbersLeft;
    view.counterLeft.reset();
    const auto counter = input.counters.find(l.counter);
    if (l.largest && counter != input.counters.end()) {
      const Counter& c = counter->second;
      view.counterLeft = c.exhausted || c.next > *l.largest || c.step == 0
                             ? 0
                             : (*l.largest - c.next) / c.step + 1;
    }
    view.waiting = l.waiting;
    view.ports.clear();
    const bool gone = view.state == StationView::State::kGone;
    for (const StationLive::Port& port : l.ports) {
      // What a gone station last published is no longer so.
      view.ports.push_back({port.name, gone ? std::nullopt : std::optional(port), {}});
      if (heard && port.state == StationLive::Port::State::kWorking &&
          view.state == StationView::State::kIdle) {
        view.state = StationView::State::kBurning;
      }
    }
  }
  std::vector<Alarm> silent, failing, lowYield;
  for (auto& [name, view] : stations) {
    const auto records = input.records.find(name);
    if (records != input.records.end()) {
      const FactoryInput::Records& r = records->second;
      view.unitsThisHour = r.thisHour.units();
      view.passedToday = r.today.passed();
      view.failedToday = r.today.failed();
      view.yieldToday = r.today.YieldPercent();
      int passed = 0, failed = 0;
      std::map<std::string, std::vector<UnitOutcome>> byPort;
      for (const Attempt& a : r.last) {
        passed += a.outcome == UnitOutcome::kPass ? 1 : 0;
        failed += a.outcome != UnitOutcome::kPass && a.Wrote() ? 1 : 0;
        byPort[a.port].push_back(a.outcome);
      }
      if (!r.last.empty()) {
        view.lastUnit = r.last.back().started;
        if (view.job.empty()) view.job = r.last.back().job;
        if (view.lot.empty()) view.lot = r.last.back().lot;
      }
      view.yieldLast = YieldOf(passed, failed);
      if (view.yieldLast && passed + failed >= limits.yieldAtLeast &&
          *view.yieldLast < limits.yield) {
        lowYield.push_back({Alarm::Kind::kLowYield, name, "", *view.yieldLast});
      }
      // The ports the station published first, in its order; then those only its records
      // name.
      for (auto& [portName, outcomes] : byPort) {
        const std::string& port = portName;  // a binding cannot be captured by every compiler
        auto it = std::find_if(view.ports.begin(), view.ports.end(),
                               [&port](const StationView::Port& p) { return p.name == port; });
        if (it == view.ports.end()) {
          view.ports.push_back({port, std::nullopt, {}});
          it = view.ports.end() - 1;
        }
        const std::size_t keep = std::min(outcomes.size(), StationView::kPortCells);
        it->last.assign(outcomes.end() - static_cast<std::ptrdiff_t>(keep), outcomes.end());
        int inARow = 0;
        for (auto o = outcomes.rbegin(); o != outcomes.rend() && *o == UnitOutcome::kFail; ++o)
          ++inARow;
        if (inARow >= limits.failuresInARow) {
          failing.push_back({Alarm::Kind::kPortFailing, name, port, static_cast<double>(inARow)});
        }
      }
    }
    if (view.silent >= limits.silent && view.state != StationView::State::kStopped) {
      silent.push_back({Alarm::Kind::kSilent, name, "", static_cast<double>(view.silent)});
    }
  }
  FactorySnapshot snapshot;
  for (auto& [name, view] : stations)
    snapshot.stations.push_back(std::move(view));
  for (auto* list : {&silent, &failing, &lowYield})
    snapshot.alarms.insert(snapshot.alarms.end(), list->begin(), list->end());
  return snapshot;
}

std::string FactoryJson(const FactorySnapshot& snapshot, const std::string& at) {
  auto number = [](const std::optional<double>& value) {
    return value ? Decimal(*value, 1) : std::string("null");
  };
  std::string json = "{\"at\":" + JsonString(at) + ",\"stations\":[";
  for (std::size_t i = 0; i < snapshot.stations.size(); ++i) {
    const StationView& s = snapshot.stations[i];
    json +=
        std::string(i ? "," : "") + "{\"name\":" + JsonString(Printable(s.name)) + ",\"state\":\"" +
        StationStateName(s.state) + "\",\"host\":" + JsonString(Printable(s.host)) +
        ",\"silent\":" + std::to_string(s.silent) + ",\"job\":" + JsonString(Printable(s.job)) +
        ",\"lot\":" + JsonString(Printable(s.lot)) + ",\"quantity\":" + std::to_string(s.quantity) +
        ",\"lotPassed\":" + std::to_string(s.lotPassed) +
        ",\"unitsThisHour\":" + std::to_string(s.unitsThisHour) +
        ",\"passedToday\":" + std::to_string(s.passedToday) +
        ",\"failedToday\":" + std::to_string(s.failedToday) +
        ",\"yieldToday\":" + number(s.yieldToday) + ",\"yieldLast\":" + number(s.yieldLast) +
        ",\"numbersLeft\":" +
        (s.numbersLeft ? std::to_string(*s.numbersLeft) : std::string("null")) +
        ",\"counterLeft\":" +
        (s.counterLeft ? std::to_string(*s.counterLeft) : std::string("null")) +
        ",\"waiting\":" + std::to_string(s.waiting) + ",\"lastUnit\":" + JsonString(s.lastUnit) +
        ",\"ports\":[";
    for (std::size_t p = 0; p < s.ports.size(); ++p) {
      const StationView::Port& port = s.ports[p];
      json += std::string(p ? "," : "") + "{\"name\":" + JsonString(Printable(port.name)) +
              ",\"state\":\"" +
              (port.live ? PortStateName(port.live->state) : std::string("idle")) + "\"";
      if (port.live && port.live->serial)
        json += ",\"serial\":" + std::to_string(*port.live->serial);
      json += ",\"last\":[";
      for (std::size_t k = 0; k < port.last.size(); ++k)
        json += std::string(k ? "," : "") + "\"" + OutcomeName(port.last[k]) + "\"";
      json += "]}";
    }
    json += "]}";
  }
  json += "],\"alarms\":[";
  for (std::size_t i = 0; i < snapshot.alarms.size(); ++i) {
    const Alarm& a = snapshot.alarms[i];
    json += std::string(i ? "," : "") + "{\"kind\":\"" + AlarmKindName(a.kind) +
            "\",\"station\":" + JsonString(Printable(a.station)) +
            ",\"port\":" + JsonString(Printable(a.port)) + ",\"value\":" + Decimal(a.value, 1) +
            "}";
  }
  return json + "]}";
}

}  // namespace otp
