#include <gtest/gtest.h>

#include "ops/Factory.h"
#include "ops/FactoryReader.h"
#include "tests/support/FakeStore.h"

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
  a.today.Add(UnitOutcome::kPass, true, 90);
  a.today.Add(UnitOutcome::kFail, true, 10);
  a.today.Add(UnitOutcome::kBoardGone, true, 10);  // blocks sent: written, and failed
  a.today.Add(UnitOutcome::kBoardGone, false, 3);
  a.today.Add(UnitOutcome::kStopped, false, 5);
  a.thisHour.Add(UnitOutcome::kPass, true, 30);
  a.thisHour.Add(UnitOutcome::kPortProblem, false, 4);
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
  EXPECT_EQ(stationA.passedToday, 90);
  EXPECT_EQ(stationA.failedToday, 20);
  EXPECT_DOUBLE_EQ(*stationA.yieldToday, 100.0 * 90 / 110);
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

namespace otp {
namespace {

// The factory view's reader on a store in memory: the first look reads every station, a
// look after one station recorded a unit reads that station's counts again and no other's,
// a look in the next hour reads all again; "today" begins at local midnight; what a lease
// publishes that is no live state is left out, and a hostile one never breaks the look.
TEST(FactoryReading, ReadsWhatChanged) {
  test::FakeStore store;
  const std::vector<std::string> stations = {"A", "B", "C"};
  // An hour's units at every station, stamped in UTC as the records are.
  const auto now = std::chrono::system_clock::now();
  const auto [today, hour] = TodayAndHour(now);
  const std::string thisHour = IsoTime(now);
  int id = 0;
  auto record = [&](const std::string& station, UnitOutcome outcome) {
    Attempt a;
    a.unitId = "u-" + std::to_string(++id);
    a.station = station;
    a.port = "COM1";
    a.outcome = outcome;
    a.started = thisHour;
    store.attempts.push_back(a);
  };
  for (const std::string& station : stations) {
    record(station, UnitOutcome::kPass);
    record(station, UnitOutcome::kFail);
  }
  StoreError error;
  LeaseHolder holder{"owner-A", "A", "pc", "b", 1, "1"};
  ASSERT_TRUE(store.Claim(holder, error));
  ASSERT_TRUE(
      store.Heartbeat("owner-A", "{\"ports\":[{\"port\":\"COM1\",\"state\":\"working\"}]}", error));
  LeaseHolder other{"owner-B", "B", "pc", "b", 2, "1"};
  ASSERT_TRUE(store.Claim(other, error));
  ASSERT_TRUE(store.Heartbeat("owner-B", "{\"ports\":[{\"port\":1e999,\"state\":[[[[[[", error));

  FactoryReader reader(AlarmLimits{});
  const int before = store.reads;
  const auto first = reader.Look(store, now, error);
  ASSERT_TRUE(first) << error;
  const int firstReads = store.reads - before;
  ASSERT_EQ(first->stations.size(), 3u);
  for (const StationView& s : first->stations) {
    EXPECT_EQ(s.passedToday, 1) << s.name;
    EXPECT_EQ(s.failedToday, 1) << s.name;
    EXPECT_EQ(s.unitsThisHour, 2) << s.name;
  }
  EXPECT_EQ(first->stations[0].state, StationView::State::kBurning);
  // Nothing new: the newest units alone.
  int reads = store.reads;
  ASSERT_TRUE(reader.Look(store, now, error));
  EXPECT_EQ(store.reads - reads, 1);
  // One unit at B: B's counts again (today, this hour, its last units), nobody else's.
  record("B", UnitOutcome::kPass);
  reads = store.reads;
  const auto second = reader.Look(store, now, error);
  ASSERT_TRUE(second) << error;
  EXPECT_EQ(store.reads - reads, 1 + 3);
  EXPECT_EQ(second->stations[1].passedToday, 2);
  // The next hour: every station again.
  reads = store.reads;
  ASSERT_TRUE(reader.Look(store, now + std::chrono::hours(1), error));
  EXPECT_EQ(store.reads - reads, firstReads);  // and the list of stations: a minute passed
  // Local midnight is at or before now, within a day; this hour's start within an hour.
  EXPECT_LE(today, thisHour);
  EXPECT_LE(hour, thisHour);
  EXPECT_GE(hour, today);
  EXPECT_GT(IsoTime(now - std::chrono::hours(25)), "");
}

// The live state a lease carries is any process's to write: read back as it was written,
// and nothing (never a crash) for anything else.
TEST(FactoryReading, LiveStatesReadBackOrNot) {
  StationLive live = LiveWith(StationLive::Port::State::kEnded);
  live.ports[0].outcome = UnitOutcome::kFail;
  live.lot = "L \"1\"\n";
  live.quantity = 7;
  live.lotPassed = 3;
  live.counter = "serial";
  live.largest = 0xFFFF;
  const auto read = ParseLive(LiveJson(live));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->lot, live.lot);
  EXPECT_EQ(read->quantity, 7u);
  EXPECT_EQ(read->lotPassed, 3);
  EXPECT_EQ(read->largest, 0xFFFFu);
  ASSERT_EQ(read->ports.size(), 1u);
  EXPECT_EQ(read->ports[0].serial, 1001u);
  EXPECT_EQ(read->ports[0].outcome, UnitOutcome::kFail);
  for (const std::string& hostile :
       {std::string("{not json"), std::string("[1,2]"), std::string(""), std::string("\"x\""),
        std::string(100000, '['), std::string("{\"ports\":[{\"serial\":-1e308}]}"),
        std::string("{\"a\":\"\\ud800\"}"), std::string("{\"a\":1}x")}) {
    const auto parsed = ParseLive(hostile);
    if (parsed) {
      for (const auto& port : parsed->ports)
        EXPECT_FALSE(port.serial && *port.serial > (1ull << 60));
    }
  }
  EXPECT_FALSE(ParseLive("{not json"));
  EXPECT_FALSE(ParseLive(std::string(100000, '[')));
  EXPECT_TRUE(ParseLive("{\"ports\":[{\"serial\":-1e308}]}"));
}

}  // namespace
}  // namespace otp
