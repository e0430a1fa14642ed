#include <gtest/gtest.h>

#include "ops/Factory.h"

namespace otp {
namespace {

Lease LeaseOf(const std::string& owner, const std::string& station, long long silent) {
  Lease lease;
  lease.holder.owner = owner;
  lease.holder.station = station;
  lease.holder.host = "pc-" + station;
  lease.silent = silent;
  return lease;
}

Attempt UnitOf(const std::string& station, const std::string& port, UnitOutcome outcome) {
  Attempt a;
  a.station = station;
  a.port = port;
  a.outcome = outcome;
  a.started = "2026-12-08T10:00:00Z";
  return a;
}

StationLive LiveWith(StationLive::Port::State state) {
  StationLive live;
  live.job = "BRAKE";
  live.numbersLeft = 40;
  live.ports.push_back({"COM1", state, 1001, std::nullopt});
  return live;
}

const StationView& Find(const FactorySnapshot& snapshot, const std::string& name) {
  for (const StationView& s : snapshot.stations)
    if (s.name == name) return s;
  throw std::runtime_error("no station " + name);
}

// Each station's state from its lease and what it published: burning, idle, away (held
// but quiet, or it says so), stopped (no lease), gone (silent past the grace time).
TEST(Factory, StatesOfStations) {
  FactoryInput input;
  input.grace = 120;
  input.stations = {"A", "B", "C", "D", "E", "F"};
  input.leases = {LeaseOf("a", "A", 2), LeaseOf("b", "B", 3), LeaseOf("c", "C", 60),
                  LeaseOf("d", "D", 200), LeaseOf("f", "F", 1)};
  input.live["a"] = LiveWith(StationLive::Port::State::kWorking);
  input.live["b"] = LiveWith(StationLive::Port::State::kWaiting);
  StationLive away = LiveWith(StationLive::Port::State::kWorking);
  away.away = true;
  away.waiting = 4;
  input.live["f"] = away;
  const FactorySnapshot snapshot = BuildFactory(input, {});
  const std::pair<const char*, StationView::State> states[] = {
      {"A", StationView::State::kBurning}, {"B", StationView::State::kIdle},
      {"C", StationView::State::kAway},    {"D", StationView::State::kGone},
      {"E", StationView::State::kStopped}, {"F", StationView::State::kAway},
  };
  for (const auto& [name, state] : states)
    EXPECT_EQ(Find(snapshot, name).state, state) << name;
  EXPECT_EQ(Find(snapshot, "A").job, "BRAKE");
  EXPECT_EQ(Find(snapshot, "A").numbersLeft, 40u);
  EXPECT_EQ(Find(snapshot, "F").waiting, 4u);
  // Silent past two minutes: an alarm, for the gone station only.
  ASSERT_EQ(snapshot.alarms.size(), 1u);
  EXPECT_EQ(snapshot.alarms[0].kind, Alarm::Kind::kSilent);
  EXPECT_EQ(snapshot.alarms[0].station, "D");
}

// The figures and alarms of records: yield today over parts written, units this hour
// without port problems, a port's last outcomes as cells, three failures in a row, and a
// low yield once enough units wrote a part.
TEST(Factory, FiguresAndAlarmsOfRecords) {
  FactoryInput input;
  input.stations = {"A", "B"};
  FactoryInput::Records a;
  a.today[static_cast<std::size_t>(UnitOutcome::kPass)] = 90;
  a.today[static_cast<std::size_t>(UnitOutcome::kFail)] = 10;
  a.today[static_cast<std::size_t>(UnitOutcome::kStopped)] = 5;
  a.thisHour[static_cast<std::size_t>(UnitOutcome::kPass)] = 30;
  a.thisHour[static_cast<std::size_t>(UnitOutcome::kPortProblem)] = 4;
  for (int i = 0; i < 14; ++i)
    a.last.push_back(UnitOf("A", "COM1", UnitOutcome::kPass));
  for (int i = 0; i < 3; ++i)
    a.last.push_back(UnitOf("A", "COM2", UnitOutcome::kFail));
  input.records["A"] = a;
  FactoryInput::Records b;
  for (int i = 0; i < 12; ++i)
    b.last.push_back(UnitOf("B", "COM1", i % 6 == 0 ? UnitOutcome::kFail : UnitOutcome::kPass));
  b.last.push_back(UnitOf("B", "COM1", UnitOutcome::kFail));
  b.last.push_back(UnitOf("B", "COM1", UnitOutcome::kBoardGone));
  input.records["B"] = b;
  const FactorySnapshot snapshot = BuildFactory(input, {});
  const StationView& stationA = Find(snapshot, "A");
  EXPECT_EQ(stationA.unitsThisHour, 30);
  EXPECT_DOUBLE_EQ(*stationA.yieldToday, 90.0);
  ASSERT_EQ(stationA.ports.size(), 2u);
  EXPECT_EQ(stationA.ports[0].last.size(), StationView::kPortCells);
  EXPECT_EQ(stationA.ports[1].last,
            (std::vector<UnitOutcome>{UnitOutcome::kFail, UnitOutcome::kFail, UnitOutcome::kFail}));
  // A: COM2 failed three in a row, and 14 of 17 is below 95 %; B's last is no failure.
  std::vector<std::tuple<Alarm::Kind, std::string, std::string>> alarms;
  for (const Alarm& alarm : snapshot.alarms)
    alarms.emplace_back(alarm.kind, alarm.station, alarm.port);
  EXPECT_EQ(alarms, (std::vector<std::tuple<Alarm::Kind, std::string, std::string>>{
                        {Alarm::Kind::kPortFailing, "A", "COM2"},
                        {Alarm::Kind::kLowYield, "A", ""},
                        {Alarm::Kind::kLowYield, "B", ""}}));
  // Fewer units than the least: no yield alarm.
  AlarmLimits strict;
  strict.yieldAtLeast = 20;
  EXPECT_EQ(BuildFactory(input, strict).alarms.size(), 1u);
}

// The numbers a station's counter can still give under its rule: from the counter's next
// number and step up to the largest the rule places; none once past it or exhausted.
TEST(Factory, NumbersLeftUnderTheRule) {
  struct Case {
    const char* what;
    std::uint64_t next, step, largest;
    bool exhausted;
    std::uint64_t left;
  };
  const Case cases[] = {
      {"be16 from 1000", 1000, 1, 0xFFFF, false, 64536},
      {"a step of 10", 1000, 10, 1099, false, 10},
      {"the last number next", 0xFFFF, 1, 0xFFFF, false, 1},
      {"past the rule", 0x10000, 1, 0xFFFF, false, 0},
      {"an exhausted counter", 5, 1, 0xFFFF, true, 0},
      {"up to 2^63 - 1", 1, 1, 0x7FFFFFFFFFFFFFFF, false, 0x7FFFFFFFFFFFFFFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FactoryInput input;
    input.leases = {LeaseOf("a", "A", 1), LeaseOf("b", "B", 1)};
    StationLive live = LiveWith(StationLive::Port::State::kWaiting);
    live.counter = "LINE";
    live.largest = c.largest;
    input.live["a"] = live;
    input.live["b"] = LiveWith(StationLive::Port::State::kWaiting);  // no serial numbers
    Counter counter;
    counter.name = "LINE";
    counter.next = c.next;
    counter.step = c.step;
    counter.exhausted = c.exhausted;
    input.counters["LINE"] = counter;
    const FactorySnapshot snapshot = BuildFactory(input, {});
    EXPECT_EQ(Find(snapshot, "A").counterLeft, c.left);
    EXPECT_FALSE(Find(snapshot, "B").counterLeft);
    EXPECT_NE(FactoryJson(snapshot, "").find("\"counterLeft\":" + std::to_string(c.left)),
              std::string::npos);
  }
}

// What the stations publish goes through the lease and back as the same fields.
TEST(Factory, LiveStateAsJson) {
  StationLive live = LiveWith(StationLive::Port::State::kEnded);
  live.ports[0].outcome = UnitOutcome::kWrongPart;
  live.lot = "L\"7";
  live.quantity = 500;
  live.lotPassed = 12;
  live.counter = "LINE";
  live.largest = 65535;
  EXPECT_EQ(LiveJson(live),
            "{\"away\":false,\"waiting\":0,\"numbersLeft\":40,\"counter\":\"LINE\","
            "\"largest\":65535,\"job\":\"BRAKE\",\"lot\":\"L\\\"7\","
            "\"quantity\":500,\"lotPassed\":12,\"ports\":[{\"port\":\"COM1\",\"state\":\"ended\","
            "\"serial\":1001,\"outcome\":\"wrong-part\"}]}");
  for (const auto state : {StationLive::Port::State::kIdle, StationLive::Port::State::kWaiting,
                           StationLive::Port::State::kWorking, StationLive::Port::State::kEnded})
    EXPECT_EQ(PortStateNamed(PortStateName(state)), state);
}

}  // namespace
}  // namespace otp
