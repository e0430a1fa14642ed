#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "sim/PtyBoard.h"
#include "tests/support/Logged.h"
#include "tests/support/Process.h"
#include "tests/support/SRecords.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestStore.h"

namespace otp {
namespace {

using namespace std::chrono_literals;

// produce --start auto against boards in simulated fixtures: each port burns the fresh
// board put on it, on its own, with no key pressed.
class AutoStartTest : public ::testing::Test {
 protected:
  bool Boards(std::size_t count, sim::TargetBoard::Fixture fixture, bool pace = false) {
    dir.Write("m_otp.150", std::string(100, 'm'));
    image = dir.Write("app.mhx", test::Record('1', 0xC000, {1, 2, 3}) + "\n").string();
    for (std::size_t i = 0; i < count; ++i) {
      boards.push_back(std::make_unique<sim::TargetBoard>());
      boards.back()->SetFixture(fixture);
      links.push_back((dir / ("ttyFIX" + std::to_string(i))).string());
      ptys.push_back(std::make_unique<sim::PtyBoard>(*boards.back(),
                                                     sim::PtyBoard::Options{links.back(), pace}));
      if (!ptys.back()->Start(nullptr)) return false;
    }
    return true;
  }
  std::unique_ptr<test::Process> Produce(const char* clock = "8MHz") {
    std::vector<std::string> args = {"--settings",
                                     dir.Write("none.txt", "").string(),
                                     "--monitor-dir",
                                     dir.path().string(),
                                     "-m",
                                     "KT47C150",
                                     "-c",
                                     clock,
                                     "--db",
                                     db,
                                     "--serial",
                                     "0xFFF0:be16",
                                     "--serial-start",
                                     "700",
                                     "--json",
                                     "--start",
                                     "auto"};
    for (const std::string& link : links)
      args.insert(args.end(), {"-p", link});
    args.insert(args.end(), {"produce", image});
    return std::make_unique<test::Process>(OTP_CLI_PROGRAM, args);
  }
  template <typename F>
  bool WaitFor(F done, std::chrono::seconds limit = 60s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }
  int Programmed(std::size_t board) {
    return ptys[board]->WithBoard([](sim::TargetBoard& b) { return b.programAddresses.size(); });
  }
  std::vector<QJsonObject> Log(bool made = true) {
    return test::LoggedAttempts(OTP_CLI_PROGRAM, db, made);
  }

  test::TempDir dir;
  std::string db = (dir / "production.db").string();
  std::string image;
  std::vector<std::string> links;
  std::vector<std::unique_ptr<sim::TargetBoard>> boards;
  std::vector<std::unique_ptr<sim::PtyBoard>> ptys;
};

// Three fixtures, two board changes each: nine units, nine distinct numbers, recorded, and
// a board event each; Ctrl-C while the ports only look ends at once.
TEST_F(AutoStartTest, ThreeFixturesTwoChangesEach) {
  if (!Boards(3, {true, 300'000, 0, 1, 300'000})) GTEST_SKIP() << "no pseudo-terminal";
  auto produce = Produce();
  ASSERT_TRUE(WaitFor([&] {
    for (std::size_t i = 0; i < 3; ++i) {
      if (Programmed(i) < 6) return false;  // two blocks a unit
    }
    return true;
  }));
  // Each board that was burned is taken out; none is put in before the interrupt lands.
  for (auto& pty : ptys)
    pty->WithBoard([](sim::TargetBoard& b) {
      b.SetFixture({true, 0, 0, 1, 300'000});
      return 0;
    });
  std::this_thread::sleep_for(1500ms);  // every port looks again
  const auto interrupted = std::chrono::steady_clock::now();
  produce->Signal(SIGINT);
  EXPECT_EQ(produce->Wait(), 0) << produce->Errors();
  // At once: a look is a quarter of a second; the bound leaves room for sanitizers.
  EXPECT_LT(std::chrono::steady_clock::now() - interrupted, 3s);
  const auto attempts = Log();
  ASSERT_EQ(attempts.size(), 9u);
  std::set<int> numbers;
  std::map<std::string, int> unitsOf;
  for (const QJsonObject& a : attempts) {
    EXPECT_EQ(a["result"].toString(), "pass");
    EXPECT_EQ(a["serialState"].toString(), "used");
    EXPECT_TRUE(numbers.insert(a["serial"].toInt()).second) << a["serial"].toInt();
    ++unitsOf[a["port"].toString().toStdString()];
  }
  for (const std::string& link : links)
    EXPECT_EQ(unitsOf[link], 3) << link;
  EXPECT_EQ(*numbers.begin(), 700);
  EXPECT_EQ(*numbers.rbegin(), 708);
  std::size_t boardEvents = 0;
  for (auto at = produce->Output().find("\"event\":\"board\""); at != std::string::npos;
       at = produce->Output().find("\"event\":\"board\"", at + 1))
    ++boardEvents;
  EXPECT_EQ(boardEvents, 9u);
}

// A board left in its fixture runs its monitor and is not burned again; one taken out and
// put back is refused by the plan (already programmed) and its number released; a fresh
// one gets the station's next number (the released one goes to the store's next block).
TEST_F(AutoStartTest, BoardsLeftInPlaceOrPutBack) {
  if (!Boards(1, {true, 0, 0, 1, 300'000})) GTEST_SKIP() << "no pseudo-terminal";
  auto produce = Produce();
  ASSERT_TRUE(WaitFor([&] { return Programmed(0) == 2; }));
  std::this_thread::sleep_for(1500ms);  // seven looks or so, answered as broken frames
  EXPECT_EQ(Programmed(0), 2);
  const int reads = ptys[0]->WithBoard([](sim::TargetBoard& b) { return b.readAddresses.size(); });
  ptys[0]->WithBoard([](sim::TargetBoard& b) {
    b.TakeOut();
    b.PutIn(false);  // the same part, back in the fixture
    return 0;
  });
  ASSERT_TRUE(WaitFor([&] {
    return ptys[0]->WithBoard([](sim::TargetBoard& b) { return b.readAddresses.size(); }) >=
           static_cast<std::size_t>(reads + 64);
  }));
  std::this_thread::sleep_for(1000ms);
  EXPECT_EQ(Programmed(0), 2);  // refused: nothing written
  ptys[0]->WithBoard([](sim::TargetBoard& b) {
    b.TakeOut();
    b.PutIn(true);
    return 0;
  });
  ASSERT_TRUE(WaitFor([&] { return Programmed(0) == 4; }));
  std::this_thread::sleep_for(1000ms);
  produce->Signal(SIGINT);
  EXPECT_EQ(produce->Wait(), 0) << produce->Errors();
  const auto attempts = Log();
  ASSERT_EQ(attempts.size(), 3u);
  EXPECT_EQ(attempts[0]["serial"].toInt(), 700);
  EXPECT_EQ(attempts[1]["outcome"].toString(), "already-programmed");
  EXPECT_EQ(attempts[1]["serial"].toInt(), 701);
  EXPECT_EQ(attempts[1]["serialState"].toString(), "released");
  EXPECT_EQ(attempts[1]["reportText"].toString(),
            "the part already holds this image, with another serial number");
  EXPECT_EQ(attempts[2]["serial"].toInt(), 702);
  EXPECT_EQ(attempts[2]["serialState"].toString(), "used");
}

// A port whose device is not there: said once, looked for again, and Ctrl-C ends it.
TEST_F(AutoStartTest, APortThatIsNotThereIsSaidOnce) {
  if (!Boards(1, {true, 0, 0, 1, 300'000})) GTEST_SKIP() << "no pseudo-terminal";
  links.push_back((dir / "ttyNOTHERE").string());
  auto produce = Produce();
  std::this_thread::sleep_for(1500ms);
  produce->Signal(SIGINT);
  produce->Wait();
  const std::string errors = produce->Errors();
  const auto first = errors.find("cannot open " + links.back());
  EXPECT_NE(first, std::string::npos) << errors;
  EXPECT_EQ(errors.find("cannot open", first + 1), std::string::npos) << errors;
  // With several ports each line says whose it is.
  const auto line = errors.rfind('\n', first) + 1;
  EXPECT_EQ(errors.compare(line, links.back().size() + 2, links.back() + ": "), 0) << errors;
  EXPECT_EQ(Programmed(0), 2);  // the other port burned its board meanwhile
}

// Ctrl-C while a port burns: its unit stops between blocks and is recorded interrupted.
TEST_F(AutoStartTest, InterruptedWhileBurning) {
  if (!Boards(1, {true, 0, 0, 1, 300'000}, true)) GTEST_SKIP() << "no pseudo-terminal";
  auto produce = Produce();
  ASSERT_TRUE(WaitFor([&] {
    return ptys[0]->WithBoard([](sim::TargetBoard& b) { return b.readAddresses.size(); }) >= 3;
  }));
  produce->Signal(SIGINT);
  EXPECT_EQ(produce->Wait(), 6) << produce->Errors();
  const auto attempts = Log();
  ASSERT_EQ(attempts.size(), 1u);
  EXPECT_EQ(attempts[0]["result"].toString(), "interrupted");
  EXPECT_EQ(attempts[0]["serialState"].toString(), "released");
}

// The PostgreSQL server stops in the middle of an auto-started run on two fixtures and
// starts again: the station burns on by itself from the numbers it holds, and once the
// server is back every part is recorded passed, its number used, no number on two parts.
TEST_F(AutoStartTest, TheServerRestartsMidRun) {
  test::OwnPostgres server;
  if (!server.Start()) GTEST_SKIP() << "no PostgreSQL server can be started here";
  db = server.location;
  if (!Boards(2, {true, 300'000, 0, 1, 300'000})) GTEST_SKIP() << "no pseudo-terminal";
  auto produce = Produce();
  auto units = [&] { return (Programmed(0) + Programmed(1)) / 2; };  // two blocks a unit
  // Its pace known from the first units, the station holds ten minutes of numbers ahead.
  ASSERT_TRUE(WaitFor([&] { return Log(false).size() >= 3; }));
  ASSERT_TRUE(server.Pause());
  const int stopped = units();
  ASSERT_TRUE(WaitFor([&] { return units() >= stopped + 4; }));
  ASSERT_TRUE(server.Resume());
  const int resumed = units();
  ASSERT_TRUE(WaitFor([&] { return units() >= resumed + 2; }));
  for (auto& pty : ptys)
    pty->WithBoard([](sim::TargetBoard& b) {
      b.SetFixture({true, 0, 0, 1, 300'000});
      return 0;
    });
  std::this_thread::sleep_for(1500ms);  // the last units end, no board comes
  const int burned = units();
  ASSERT_TRUE(WaitFor([&] { return static_cast<int>(Log().size()) == burned; }, 30s));
  produce->Signal(SIGINT);
  EXPECT_EQ(produce->Wait(), 0) << produce->Errors();
  std::set<int> numbers;
  for (const QJsonObject& a : Log()) {
    EXPECT_EQ(a["result"].toString(), "pass");
    EXPECT_EQ(a["serialState"].toString(), "used");
    EXPECT_TRUE(numbers.insert(a["serial"].toInt()).second) << a["serial"].toInt();
  }
  EXPECT_EQ(static_cast<int>(numbers.size()), burned);
  // The station said when the store went away and when it came back.
  EXPECT_NE(produce->Output().find("\"away\":true"), std::string::npos) << produce->Output();
  EXPECT_NE(produce->Output().find("\"away\":false"), std::string::npos) << produce->Output();
}

}  // namespace
}  // namespace otp
