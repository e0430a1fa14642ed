#include <gtest/gtest.h>

#include <QJsonObject>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "sim/PtyBoard.h"
#include "tests/support/Faults.h"
#include "tests/support/Logged.h"
#include "tests/support/Process.h"
#include "tests/support/SRecords.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestStore.h"

namespace otp {
namespace {

using namespace std::chrono_literals;

// Stations that share a lot, each a process of its own with fixtures that put a fresh
// part in after every unit, on SQLite and on PostgreSQL: the store decides which of them
// burns the lot's last parts.
class LotTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!store.Make(GetParam(), dir)) GTEST_SKIP() << "no PostgreSQL server (OTP_TEST_POSTGRES)";
    dir.Write("m_otp.150", std::string(100, 'm'));
    image = dir.Write("app.mhx", test::Record('1', 0xC000, {1, 2, 3}) + "\n").string();
  }
  // A station of `ports` fixtures; `faults` for its first board.
  struct Station {
    std::vector<std::unique_ptr<sim::TargetBoard>> boards;
    std::vector<std::unique_ptr<sim::PtyBoard>> ptys;
    std::vector<std::string> links;
    std::unique_ptr<test::Process> produce;
  };
  bool Fixtures(Station& station, const std::string& name, std::size_t ports,
                const char* fault = nullptr) {
    for (std::size_t i = 0; i < ports; ++i) {
      station.boards.push_back(std::make_unique<sim::TargetBoard>());
      station.boards.back()->SetFixture({true, 200'000, 0, 1, 300'000});
      if (fault && i == 0) station.boards.back()->AddFault(test::Fault(fault));
      station.links.push_back((dir / ("tty" + name + std::to_string(i))).string());
      station.ptys.push_back(std::make_unique<sim::PtyBoard>(
          *station.boards.back(), sim::PtyBoard::Options{station.links.back()}));
      if (!station.ptys.back()->Start(nullptr)) return false;
    }
    return true;
  }
  void Produce(Station& station, const std::string& name, int quantity) {
    std::vector<std::string> args = {"--settings",
                                     dir.Write("none.txt", "").string(),
                                     "--monitor-dir",
                                     dir.path().string(),
                                     "-m",
                                     "KT47C150",
                                     "-c",
                                     "8MHz",
                                     "--db",
                                     store.location,
                                     "--station",
                                     name,
                                     "--serial",
                                     "0xFFF0:be16",
                                     "--lot",
                                     "RACE",
                                     "--quantity",
                                     std::to_string(quantity),
                                     "--json",
                                     "--start",
                                     "auto"};
    for (const std::string& link : station.links)
      args.insert(args.end(), {"-p", link});
    args.insert(args.end(), {"produce", image});
    station.produce = std::make_unique<test::Process>(OTP_CLI_PROGRAM, args);
  }
  static int Programmed(Station& station) {
    int blocks = 0;
    for (auto& pty : station.ptys)
      blocks += pty->WithBoard([](sim::TargetBoard& b) { return b.programAddresses.size(); });
    return blocks;
  }
  // The lot's passed units as log gives them: exactly `quantity`, each on a place of its
  // own within the quantity.
  void ExpectExactly(int quantity) {
    int passed = 0;
    std::set<int> places;
    for (const QJsonObject& a : test::LoggedAttempts(OTP_CLI_PROGRAM, store.location)) {
      EXPECT_EQ(a["lot"].toString(), "RACE");
      if (a["outcome"].toString() != "pass") continue;
      ++passed;
      const int place = a["lotPlace"].toInt();
      EXPECT_GE(place, 1);
      EXPECT_LE(place, quantity);
      EXPECT_TRUE(places.insert(place).second) << "place " << place << " passed twice";
    }
    EXPECT_EQ(passed, quantity);
  }

  test::TempDir dir;
  test::TestStore store;
  std::string image;
};

// Four stations of two ports start together on a lot of seven; one of their boards fails
// its first part. Exactly seven parts pass, each on its own place; every station ends by
// itself and says the lot is complete with the store's count, seven of seven (its own
// units are fewer).
TEST_P(LotTest, FourStationsRaceForTheLastPlaces) {
  std::vector<Station> stations(4);
  for (std::size_t i = 0; i < stations.size(); ++i) {
    if (!Fixtures(stations[i], "S" + std::to_string(i), 2,
                  i == 1 ? "program-status@1:byte=0x04" : nullptr)) {
      GTEST_SKIP() << "no pseudo-terminal";
    }
  }
  for (std::size_t i = 0; i < stations.size(); ++i)
    Produce(stations[i], "S" + std::to_string(i), 7);
  for (Station& station : stations) {
    const int status = station.produce->Wait();
    const std::string& out = station.produce->Output();
    // A station whose part failed says so in its status, whatever its last unit was (the
    // failing board's station may find the lot complete before it burns a part).
    EXPECT_EQ(status, out.find("\"outcome\":\"fail\"") != std::string::npos ? 1 : 0)
        << station.produce->Errors();
    EXPECT_NE(out.find("\"name\":\"RACE\",\"passed\":7,\"quantity\":7,\"complete\":true"),
              std::string::npos)
        << out;
  }
  ExpectExactly(7);
}

// A station killed with kill -9 while it holds places ahead: the next start on this
// computer reads its journal, gives back the places no unit of it passed on, and the lot
// completes with exactly its quantity.
TEST_P(LotTest, AStationKilledHoldingPlaces) {
  Station killed;
  Station next;
  if (!Fixtures(killed, "K", 2) || !Fixtures(next, "N", 2)) GTEST_SKIP() << "no pseudo-terminal";
  Produce(killed, "K", 6);
  for (int i = 0; i < 3000 && Programmed(killed) < 2; ++i)
    std::this_thread::sleep_for(5ms);  // its first unit writes: its places are taken
  killed.produce->Signal(SIGKILL);
  EXPECT_EQ(killed.produce->Wait(), 128 + SIGKILL);
  Produce(next, "N", 6);
  EXPECT_EQ(next.produce->Wait(), 0) << next.produce->Errors();
  EXPECT_NE(next.produce->Output().find("\"event\":\"replayed\""), std::string::npos)
      << next.produce->Output();
  ExpectExactly(6);
}

INSTANTIATE_TEST_SUITE_P(Stores, LotTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "PostgreSQL" : "SQLite";
                         });

}  // namespace
}  // namespace otp
