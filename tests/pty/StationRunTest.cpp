#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "chip/ChipTable.h"
#include "link/QtSerialPort.h"
#include "ops/Production.h"
#include "sim/PtyBoard.h"
#include "tests/support/FakeStore.h"
#include "tests/support/SRecords.h"
#include "tests/support/TempDir.h"

namespace otp {
namespace {

constexpr std::uint64_t kLimit = (std::uint64_t{1} << 63) - 1;

// A face that shows nothing and keeps every unit's end.
class Recorder final : public RunObserver {
 public:
  class View final : public EngineView {
   public:
    void SetStatus(const std::string&) override {}
    void SetStatusIcon(unsigned) override {}
    void SetButtonText(const std::string&) override {}
    void SetRange(int, int) override {}
    void SetStep(int) override {}
    void SetPos(int) override {}
    void StepIt() override {}
    int CheckCancelButton() override { return 0; }
  };
  EngineView& ViewFor(std::size_t) override { return view_; }
  void OnUnitEnd(std::size_t port, const UnitEnd& end) override {
    const std::lock_guard lock(mutex_);
    ends.emplace_back(port, end);
  }
  std::vector<std::pair<std::size_t, UnitEnd>> ends;

 private:
  View view_;
  std::mutex mutex_;
};

// The production run in this process: real serial ports on pseudo-terminals against
// simulated boards, its records in a store in memory that fails where a test wants.
class StationRunTest : public ::testing::Test {
 protected:
  void Boards(std::size_t count) {
    ptys.clear();
    boards.clear();
    setup.ports.clear();
    for (std::size_t i = 0; i < count; ++i) {
      boards.push_back(std::make_unique<sim::TargetBoard>());
      const std::string link = (dir / ("ttyPORT" + std::to_string(i))).string();
      ptys.push_back(std::make_unique<sim::PtyBoard>(*boards.back(), sim::PtyBoard::Options{link}));
      std::string error;
      if (!ptys.back()->Start(&error)) GTEST_SKIP() << "no pseudo-terminal: " << error;
      setup.ports.push_back(PortTarget{"COM" + std::to_string(i + 1), link, &ChipTable()[1], 2});
    }
  }
  void SetUp() override {
    dir.Write("m_otp.150", std::string(100, 'm'));
    setup.moduleDir = dir.dir();
    setup.imageName = "app.mhx";
    setup.image.fill(0xFF);
    setup.image[0xC000] = 0x12;
    setup.station = "line-1";
    SerialRuleError ruleError{};
    setup.rule = ParseSerialRule("0xFFF0:be32", ruleError);
    Boards(1);
  }
  // A run of a process of its own: its journal in the station's folder.
  struct Station {
    Station(StationRunTest& test)
        : journal(Journal::Open(test.dir / "journals", Journal::NewOwner(), error)),
          service(test.store.Opener(), Quick()),
          run(test.setup, service, *journal, ports, clock, face) {}
    static StoreService::Options Quick() {
      StoreService::Options options;
      options.firstPause = std::chrono::milliseconds(5);
      options.longestPause = std::chrono::milliseconds(40);
      return options;
    }
    std::string error;
    std::unique_ptr<Journal> journal;
    StoreService service;
    QtSerialPortFactory ports;
    SystemClock clock;
    Recorder face;
    ProductionRun run;
  };
  int ProgramBlocks(std::size_t board) {
    return ptys[board]->WithBoard([](sim::TargetBoard& b) { return b.programAddresses.size(); });
  }
  void FreshParts() {
    for (auto& pty : ptys)
      pty->WithBoard([](sim::TargetBoard& b) {
        b.memory().fill(0xFF);
        return 0;
      });
  }
  void Away(bool away) {
    const std::lock_guard lock(store.mutex);
    store.away = away;
  }
  std::size_t Recorded() {
    const std::lock_guard lock(store.mutex);
    return store.attempts.size();
  }
  static bool WaitFor(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  test::TempDir dir;
  test::FakeStore store;
  RunSetup setup;
  std::vector<std::unique_ptr<sim::TargetBoard>> boards;
  std::vector<std::unique_ptr<sim::PtyBoard>> ptys;
};

// The store goes away after the start: the station burns on from the numbers it holds,
// its records waiting in the journal; when the block is spent it stops between units and
// burns nothing more. The store back, every record reaches it, each once, in order, and
// no number outside the block was burned.
TEST_F(StationRunTest, BurningThroughAnOutage) {
  Boards(3);
  setup.blockSize = 6;
  Station station(*this);
  ASSERT_EQ(station.run.Start().problem, StartReport::Problem::kNone);
  Away(true);
  for (int round = 0; round < 2; ++round) {
    FreshParts();
    const auto end = station.run.Round();
    EXPECT_EQ(end.why, ProductionRun::End::Why::kDone);
    EXPECT_EQ(end.waiting.size(), 3u * (round + 1));
    EXPECT_FALSE(end.storeError.empty());
  }
  EXPECT_TRUE(station.run.state().storeAway);
  EXPECT_EQ(station.run.state().numbersLeft, 0u);
  FreshParts();
  const auto spent = station.run.Round();
  EXPECT_EQ(spent.why, ProductionRun::End::Why::kBlockSpent);
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_EQ(ProgramBlocks(i), 4) << i;  // two units of two blocks each, and nothing more
  EXPECT_EQ(Recorded(), 0u);
  // The store answers again: the six records reach it by themselves.
  Away(false);
  ASSERT_TRUE(WaitFor([&] { return Recorded() == 6; }));
  std::set<std::string> ids;
  std::set<std::uint64_t> numbers;
  {
    const std::lock_guard lock(store.mutex);
    for (const Attempt& a : store.attempts) {
      EXPECT_TRUE(ids.insert(a.unitId).second) << a.unitId << " recorded twice";
      EXPECT_EQ(a.outcome, UnitOutcome::kPass) << a.unitId;
      EXPECT_EQ(a.serialState, SerialState::kUsed) << a.unitId;
      EXPECT_TRUE(numbers.insert(*a.serial).second);
      EXPECT_LE(*a.serial, 6u);  // the block held 1 to 6
    }
  }
  // The numbers taken ahead since the store came back go back when the station ends.
  station.run.Close();
  for (const auto& [number, state] : store.States())
    EXPECT_EQ(state, number <= 6 ? "used" : "released") << number;
}

// The store took a unit and the answer was lost: it is not recorded twice; a station
// killed with units in its journal has them recorded by the next start.
TEST_F(StationRunTest, NoUnitIsRecordedTwice) {
  Boards(2);
  {
    Station station(*this);
    ASSERT_EQ(station.run.Start().problem, StartReport::Problem::kNone);
    {
      const std::lock_guard lock(store.mutex);
      store.lostConfirmations = 1;
    }
    const auto end = station.run.Round();
    EXPECT_EQ(end.why, ProductionRun::End::Why::kDone);
    ASSERT_TRUE(WaitFor([&] { return Recorded() == 2 && station.service.Pending() == 0; }));
    // A journal that the process left unconfirmed: the process stops with it.
    station.journal->Keep();
    Away(true);
    FreshParts();
    station.run.Round();
    Away(false);
    // Killed: the service's answers never reach the journal.
    station.run.Stop();
  }
  Station again(*this);
  const StartReport start = again.run.Start();
  EXPECT_EQ(start.problem, StartReport::Problem::kNone);
  ASSERT_TRUE(WaitFor([&] { return Recorded() == 4; }));
  std::set<std::string> ids;
  const std::lock_guard lock(store.mutex);
  for (const Attempt& a : store.attempts)
    EXPECT_TRUE(ids.insert(a.unitId).second) << a.unitId << " recorded twice";
}

// A first number or a step that disagrees with the counter is refused before any unit;
// numbers end below 2^63.
TEST_F(StationRunTest, CountersKeepTheirNumbers) {
  store.counters["serial"] = Counter{"serial", 1042, 1, 1000, false};
  struct Case {
    std::optional<std::uint64_t> start, step;
    StartReport::Problem problem;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, StartReport::Problem::kNone},
      {1000, 1, StartReport::Problem::kNone},
      {2000, std::nullopt, StartReport::Problem::kCounterStart},
      {std::nullopt, 10, StartReport::Problem::kCounterStep},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.start.value_or(0) * 100 + c.step.value_or(0));
    setup.serialStart = c.start;
    setup.serialStep = c.step;
    Station station(*this);
    const StartReport start = station.run.Start();
    EXPECT_EQ(start.problem, c.problem);
    EXPECT_EQ(start.counter.start, 1000u);
    EXPECT_EQ(start.counter.step, 1u);
    EXPECT_EQ(station.run.state().nextNumber.value_or(1042), 1042u);  // given back, first
  }
  SerialRuleError ruleError{};
  setup.rule = ParseSerialRule("0xFFEC:bcd:19", ruleError);
  setup.counter = "big";
  setup.serialStart = kLimit - 1;
  setup.serialStep.reset();
  Station station(*this);
  ASSERT_EQ(station.run.Start().problem, StartReport::Problem::kNone);
  for (const std::uint64_t expected : {kLimit - 1, kLimit}) {
    FreshParts();
    EXPECT_EQ(station.run.Round().why, ProductionRun::End::Why::kDone);
    ASSERT_TRUE(WaitFor([&] {
      const std::lock_guard lock(store.mutex);
      return !store.attempts.empty() && store.attempts.back().serial == expected;
    }));
  }
  FreshParts();
  const auto end = station.run.Round();
  EXPECT_EQ(end.why, ProductionRun::End::Why::kNumbersExhausted);
  EXPECT_EQ(ProgramBlocks(0), 4);  // two units of two blocks each, then nothing
}

}  // namespace
}  // namespace otp
