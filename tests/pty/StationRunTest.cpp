#include <gtest/gtest.h>

#include <memory>
#include <mutex>

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
          run(test.setup, test.store, *journal, ports, clock, face) {}
    std::string error;
    std::unique_ptr<Journal> journal;
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
  std::map<std::uint64_t, std::string> StoredStates() const {
    std::map<std::uint64_t, std::string> states;
    for (const auto& [key, row] : store.serials)
      states[key.second] = row.state;
    return states;
  }

  test::TempDir dir;
  test::FakeStore store;
  RunSetup setup;
  std::vector<std::unique_ptr<sim::TargetBoard>> boards;
  std::vector<std::unique_ptr<sim::PtyBoard>> ptys;
};

// The store fails when a number is reserved: no part is burned without one, on one port
// or on three (the ports after the failing one get none either).
TEST_F(StationRunTest, AStoreThatFailsAtReservationBurnsNothing) {
  struct Case {
    std::size_t ports;
    int reservationsThatWork;
    std::vector<int> burned;  // program blocks a board
  };
  const Case cases[] = {{1, 0, {0}}, {3, 0, {0, 0, 0}}, {3, 1, {2, 0, 0}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.ports) + " ports, " + std::to_string(c.reservationsThatWork));
    store = test::FakeStore{};
    Boards(c.ports);
    Station station(*this);
    ASSERT_EQ(station.run.Start().problem, StartReport::Problem::kNone);
    store.failReservationsAfter = c.reservationsThatWork;
    const auto end = station.run.Round();
    EXPECT_TRUE(end.storeFailed);
    EXPECT_NE(end.storeError.find("the store went away"), std::string::npos) << end.storeError;
    for (std::size_t i = 0; i < c.ports; ++i)
      EXPECT_EQ(ProgramBlocks(i), c.burned[i]) << i;
    EXPECT_EQ(store.attempts.size(), static_cast<std::size_t>(c.reservationsThatWork));
  }
}

// The store fails when the units are settled: they finish, wait in the journal, and are
// recorded as they ended once the store answers again, at the next round or the next
// start; a store that took a unit and lost the answer does not get it twice.
TEST_F(StationRunTest, UnitsWaitInTheJournalUntilTheStoreAnswers) {
  Boards(3);
  {
    Station station(*this);
    ASSERT_EQ(station.run.Start().problem, StartReport::Problem::kNone);
    store.failSettlements = 3;
    const auto end = station.run.Round();
    EXPECT_TRUE(end.storeFailed);
    ASSERT_EQ(end.waiting.size(), 3u);
    EXPECT_TRUE(store.attempts.empty());
    for (std::size_t i = 0; i < 3; ++i)
      EXPECT_EQ(ProgramBlocks(i), 2);
    // Auto start while the store still fails: no port looks, and the same three wait.
    store.failSettlements = 1;
    const auto still = station.run.AutoRun();
    EXPECT_TRUE(still.storeFailed);
    EXPECT_EQ(still.waiting.size(), 3u);
    EXPECT_TRUE(store.attempts.empty());
    // The store answers again: the next round records the three first, then burns.
    FreshParts();
    const auto next = station.run.Round();
    EXPECT_FALSE(next.storeFailed) << next.storeError;
    EXPECT_EQ(store.attempts.size(), 6u);
    // Settled, and the answer lost: it stays in the journal although the store has it;
    // the other two of the round are settled as they end.
    FreshParts();
    store.lostConfirmations = 1;
    const auto lost = station.run.Round();
    EXPECT_TRUE(lost.storeFailed);
    EXPECT_EQ(lost.waiting.size(), 1u);
    EXPECT_EQ(store.attempts.size(), 9u);
  }
  // The next start of the station replays the journal of the process that stopped.
  Station again(*this);
  const StartReport start = again.run.Start();
  EXPECT_EQ(start.problem, StartReport::Problem::kNone);
  EXPECT_EQ(start.replayed.size(), 1u);  // the one the store took, but never confirmed
  EXPECT_EQ(store.attempts.size(), 9u);  // and did not take twice
  std::set<std::string> ids;
  for (const Attempt& a : store.attempts) {
    EXPECT_TRUE(ids.insert(a.unitId).second) << a.unitId << " recorded twice";
    EXPECT_EQ(a.result, "pass") << a.unitId;
    EXPECT_EQ(a.serialState, "used") << a.unitId;
  }
  for (const auto& [number, state] : StoredStates())
    EXPECT_EQ(state, "used") << number;
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
    EXPECT_EQ(start.counter.next, 1042u);
    EXPECT_EQ(start.counter.step, 1u);
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
    EXPECT_FALSE(station.run.Round().storeFailed);
    EXPECT_EQ(store.attempts.back().serial, expected);
  }
  FreshParts();
  const auto end = station.run.Round();
  EXPECT_TRUE(end.numbersExhausted);
  EXPECT_EQ(ProgramBlocks(0), 4);  // two units of two blocks each, then nothing
}

}  // namespace
}  // namespace otp
