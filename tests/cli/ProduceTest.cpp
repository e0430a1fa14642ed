#include <gtest/gtest.h>

#include <sys/stat.h>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "sim/PtyBoard.h"
#include "tests/support/CommaLocale.h"
#include "tests/support/Faults.h"
#include "tests/support/Logged.h"
#include "tests/support/Process.h"
#include "tests/support/SRecords.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestStore.h"

namespace otp {
namespace {

using namespace std::chrono_literals;

// The production loop as an operator runs it, one Enter a unit, against the simulated
// board, its records in SQLite or in PostgreSQL.
class ProduceTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!store.Make(GetParam(), dir)) GTEST_SKIP() << "no PostgreSQL server (OTP_TEST_POSTGRES)";
    dir.Write("m_otp.630", std::string(200, '\x4D'));
    dir.Write("m_otp.150", std::string(200, '\x4D'));
    image = dir.Write("app.mhx", test::Record('1', 0xC000, {1, 2, 3}) + "\n" +
                                     test::Record('1', 0xC100, {4}) + "\n")
                .string();
  }
  void StartBoard(const std::vector<const char*>& faults, bool pace = false) {
    pty.reset();
    board = std::make_unique<sim::TargetBoard>();
    for (const char* fault : faults)
      board->AddFault(test::Fault(fault));
    pty = std::make_unique<sim::PtyBoard>(*board, sim::PtyBoard::Options{link, pace});
    std::string error;
    if (!pty->Start(&error)) GTEST_SKIP() << "no pseudo-terminal: " << error;
  }
  std::vector<std::string> Args(const char* clock = "8MHz") const {
    return {"--settings",
            dir.Write("none.txt", "").string(),
            "--monitor-dir",
            dir.path().string(),
            "-m",
            "KT47C150",
            "-c",
            clock,
            "-p",
            link,
            "--db",
            store.location,
            "--station",
            "test-station",
            "--serial",
            "0xFFF0:be16",
            "--serial-start",
            "500",
            "--json",
            "produce",
            image};
  }
  // The attempts as `log --json` gives them.
  std::vector<QJsonObject> Log() const {
    return test::LoggedAttempts(OTP_CLI_PROGRAM, store.location);
  }

  test::TempDir dir;
  test::TestStore store;
  std::string link = (dir / "ttyBOARD").string();
  std::string image;
  std::unique_ptr<sim::TargetBoard> board;
  std::unique_ptr<sim::PtyBoard> pty;
};

// Pass: used. A failure before a program block was sent: released and issued again. A
// failure after one: spoiled, never issued again.
TEST_P(ProduceTest, SerialNumberStatesOfUnits) {
  struct Unit {
    std::vector<const char*> faults;
    const char* result;
    int serial;
    const char* state;
  };
  const Unit units[] = {
      {{}, "pass", 500, "used"},
      {{"read-reply@1:silent"}, "fail", 501, "released"},
      {{"program-status@2:byte=0x04"}, "fail", 501, "spoiled"},
      {{}, "pass", 502, "used"},
      {{"read-data@65:byte=0x22"}, "fail", -1, "spoiled"},  // the compare's first block differs
  };
  for (const Unit& unit : units) {
    StartBoard(unit.faults);  // a fresh part on the bench
    test::Process produce(OTP_CLI_PROGRAM, Args(), "\nq\n");
    // A part spoiled: 1; a board that stopped answering before anything was written: 2.
    EXPECT_EQ(produce.Wait(), std::string(unit.result) == "pass"     ? 0
                              : std::string(unit.state) == "spoiled" ? 1
                                                                     : 2)
        << produce.Errors();
    // A store that exists already makes no news of it.
    EXPECT_EQ(produce.Errors().find("NOTICE"), std::string::npos) << produce.Errors();
    if (std::string(unit.result) == "pass") {
      pty->WithBoard([](sim::TargetBoard& b) {
        EXPECT_EQ(b.memory()[0xC002], 3);
        EXPECT_EQ(b.memory()[0xFFF0], 0x01);  // 500 = 0x01F4, big-endian
        return 0;
      });
    }
  }
  const auto attempts = Log();
  ASSERT_EQ(attempts.size(), std::size(units));
  for (std::size_t i = 0; i < attempts.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(attempts[i]["result"].toString(), units[i].result);
    if (units[i].serial >= 0) {
      EXPECT_EQ(attempts[i]["serial"].toInt(), units[i].serial);
    }
    EXPECT_EQ(attempts[i]["serialState"].toString(), units[i].state);
    EXPECT_EQ(attempts[i]["station"].toString(), "test-station");
    EXPECT_EQ(attempts[i]["model"].toString(), "KT47C150");
  }
  EXPECT_EQ(attempts[1]["reportId"].toInt(), 203);
  EXPECT_EQ(attempts[2]["reportId"].toInt(), 236);
  // A part that differs carries its reason: the compare's verdict and where it differs.
  EXPECT_FALSE(attempts[4]["reportId"].isNull())
      << attempts[4]["reportText"].toString().toStdString();
  const std::string reason = attempts[4]["reportText"].toString().toStdString();
  EXPECT_NE(reason.find("NG !!; first difference at C000H: part 22, file 01"), std::string::npos)
      << reason;
}

// Each unit's record says what it read of the part: two that read only the image's
// blocks (and the serial number's), one that read the whole area; log and the report
// tell them apart.
TEST_P(ProduceTest, EachUnitSaysWhatItRead) {
  const std::pair<bool, std::size_t> units[] = {{true, 6}, {false, 128}, {true, 6}};
  for (const auto& [image, reads] : units) {
    StartBoard({});
    auto args = Args();
    if (image) args.insert(args.end() - 2, {"--read", "image"});
    test::Process produce(OTP_CLI_PROGRAM, args, "\nq\n");
    EXPECT_EQ(produce.Wait(), 0) << produce.Errors();
    pty->WithBoard([reads = reads](sim::TargetBoard& b) {
      EXPECT_EQ(b.readAddresses.size(), reads);
      return 0;
    });
  }
  const auto attempts = Log();
  ASSERT_EQ(attempts.size(), std::size(units));
  for (std::size_t i = 0; i < attempts.size(); ++i)
    EXPECT_EQ(attempts[i]["reading"].toString(), units[i].first ? "image" : "area") << i;
  const std::string page = (dir / "batch.html").string();
  test::Process report(OTP_CLI_PROGRAM, {"--db", store.location, "--json", "report", page});
  ASSERT_EQ(report.Wait(), 0) << report.Errors();
  const std::string out = report.Output();
  const QJsonObject made =
      QJsonDocument::fromJson(QByteArray::fromStdString(out.substr(0, out.find('\n')))).object();
  const QJsonObject readings = made["readings"].toObject();
  EXPECT_EQ(readings["area"].toInt(), 1) << out;
  EXPECT_EQ(readings["image"].toInt(), 2);
  const std::string html = test::TempDir::ReadFile(page);
  EXPECT_NE(html.find("read: the image&#39;s blocks only"), std::string::npos) << html;
  EXPECT_NE(html.find("read: the whole OTP area"), std::string::npos) << html;
}

// The station dies in the middle of a unit's plan (kill -9): at its next start its
// journal says the part never saw a program block, so the number is released and
// recorded with the unit, and the next unit gets it again.
TEST_P(ProduceTest, NumberOfAStationThatDiedIsSpoiled) {
  StartBoard({}, true);  // paced at 2400 bit/s: the burn plan alone takes a minute
  auto args = Args("2MHz");
  args[5] = "KT47C630A";
  {
    test::Process produce(OTP_CLI_PROGRAM, args, "\n");
    // Killed once the burn plan reads: the number is reserved by then.
    for (int i = 0;
         i < 1000 && pty->WithBoard([](sim::TargetBoard& b) { return b.readAddresses.empty(); });
         ++i) {
      std::this_thread::sleep_for(10ms);
    }
    produce.Signal(SIGKILL);
    EXPECT_EQ(produce.Wait(), 128 + SIGKILL);
  }
  StartBoard({});
  test::Process again(OTP_CLI_PROGRAM, Args(), "\nq\n");
  EXPECT_EQ(again.Wait(), 0) << again.Errors();
  const auto attempts = Log();
  ASSERT_EQ(attempts.size(), 2u);
  EXPECT_EQ(attempts[0]["result"].toString(), "interrupted");
  EXPECT_EQ(attempts[0]["serial"].toInt(), 500);
  EXPECT_EQ(attempts[0]["serialState"].toString(), "released");
  EXPECT_EQ(attempts[0]["port"].toString().toStdString(), link);
  EXPECT_EQ(attempts[1]["serial"].toInt(), 500);
  EXPECT_EQ(attempts[1]["serialState"].toString(), "used");
}

// A serial number that cannot go where the rule puts it stops the loop before it starts.
TEST_P(ProduceTest, SerialOnTheImagesDataIsRefused) {
  StartBoard({});
  auto args = Args();
  args[15] = "0xC001:le16";
  test::Process produce(OTP_CLI_PROGRAM, args, "\nq\n");
  EXPECT_EQ(produce.Wait(), 3);
  EXPECT_NE(produce.Errors().find("holds 0x02 at 0xC001"), std::string::npos) << produce.Errors();
  pty->WithBoard([](sim::TargetBoard& b) {
    EXPECT_TRUE(b.programAddresses.empty());
    return 0;
  });
}

// A number that does not fit its format stops the loop before the board hears a byte,
// whether it is the first number or the counter's next; the log writes CSV; a store that
// cannot be reached stops the loop.
TEST_P(ProduceTest, NumberThatDoesNotFitAndTheLog) {
  StartBoard({});
  auto args = Args();
  args[17] = "65536";  // --serial-start: one past be16
  test::Process produce(OTP_CLI_PROGRAM, args, "\nq\n");
  EXPECT_EQ(produce.Wait(), 3);
  EXPECT_NE(produce.Errors().find("--serial-start 65536 does not fit 0xFFF0:be16"),
            std::string::npos)
      << produce.Errors();
  args[17] = "65535";
  test::Process last(OTP_CLI_PROGRAM, args, "\nq\n");
  EXPECT_EQ(last.Wait(), 0) << last.Errors();
  StartBoard({});
  args.erase(args.begin() + 16, args.begin() + 18);  // the counter's own next: 65536
  test::Process full(OTP_CLI_PROGRAM, args, "\nq\n");
  EXPECT_EQ(full.Wait(), 3);
  EXPECT_NE(full.Errors().find("the counter serial has no number left that fits 0xFFF0:be16"),
            std::string::npos)
      << full.Errors();
  pty->WithBoard([](sim::TargetBoard& b) {
    EXPECT_EQ(b.handshakes, 0);
    return 0;
  });

  const std::string csv = (dir / "log.csv").string();
  test::Process log(OTP_CLI_PROGRAM, {"--db", store.location, "log", "--csv", csv});
  EXPECT_EQ(log.Wait(), 0) << log.Errors();
  const std::string rows = test::TempDir::ReadFile(csv);
  EXPECT_EQ(rows.substr(0, 16), "started,ended,st");
  EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 2) << rows;
  EXPECT_EQ(log.Output(), "");  // the rows are in the file
  test::Process plain(OTP_CLI_PROGRAM, {"--db", store.location, "log"});
  EXPECT_EQ(plain.Wait(), 0);
  EXPECT_NE(plain.Output().find("1 attempts"), std::string::npos) << plain.Output();

  test::Process unreachable(
      OTP_CLI_PROGRAM,
      {"--db", "postgresql://nobody@127.0.0.1:1/none", "-p", link, "produce", image}, "\nq\n");
  EXPECT_EQ(unreachable.Wait(), 3);
  EXPECT_NE(unreachable.Errors().find("the production store"), std::string::npos);
}

// Four boards, one Enter: each port reserves its own number, in port order, whatever the
// order in which their downloads end; each unit is recorded with its port; the counters
// count units. A second run on fresh parts is given the released number first.
TEST_P(ProduceTest, SeveralPortsOneEnter) {
  const char* faults[] = {nullptr, "read-reply@1:silent", nullptr, "program-status@2:byte=0x04"};
  std::vector<std::unique_ptr<sim::TargetBoard>> boards;
  std::vector<std::unique_ptr<sim::PtyBoard>> ptys;
  auto args = Args();
  args.erase(args.begin() + 8, args.begin() + 10);  // -p
  for (std::size_t i = 0; i < std::size(faults); ++i) {
    boards.push_back(std::make_unique<sim::TargetBoard>());
    if (faults[i]) boards.back()->AddFault(test::Fault(faults[i]));
    const std::string port = (dir / ("ttyGANG" + std::to_string(i))).string();
    ptys.push_back(std::make_unique<sim::PtyBoard>(*boards.back(), sim::PtyBoard::Options{port}));
    std::string error;
    if (!ptys.back()->Start(&error)) GTEST_SKIP() << "no pseudo-terminal: " << error;
    args.insert(args.end() - 2, {"-p", port});
  }
  struct Unit {
    const char* result;
    int serial;
    const char* state;
  };
  const Unit runs[2][4] = {
      {{"pass", 500, "used"},
       {"fail", 501, "released"},
       {"pass", 502, "used"},
       {"fail", 503, "spoiled"}},
      {{"pass", 501, "used"}, {"pass", 504, "used"}, {"pass", 505, "used"}, {"pass", 506, "used"}},
  };
  for (const auto& run : runs) {
    test::Process produce(OTP_CLI_PROGRAM, args, "\nq\n");
    // The whole round's status: a spoiled part is the most serious of it.
    EXPECT_EQ(produce.Wait(), run[1].serial == 501 ? 1 : 0) << produce.Errors();
    int units = 0;
    std::istringstream lines(produce.Output());
    std::string line;
    while (std::getline(lines, line)) {
      const QJsonObject event = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
      // Every line of a port names it; what the start says is the station's.
      const bool station = event["event"].toString() == "counter";
      EXPECT_TRUE(event.contains("port") || station) << line;
      if (event["event"].toString() == "unit") ++units;
    }
    EXPECT_EQ(units, 4);
    for (std::size_t i = 0; i < ptys.size(); ++i) {
      ptys[i]->WithBoard([&](sim::TargetBoard& b) {
        if (std::string(run[i].result) == "pass") {
          EXPECT_EQ(b.memory()[0xC002], 3) << i;
          EXPECT_EQ(b.memory()[0xFFF0] << 8 | b.memory()[0xFFF1], run[i].serial) << i;
        }
        b.memory().fill(0xFF);  // the next part on the bench
        return 0;
      });
    }
  }
  const auto attempts = Log();
  ASSERT_EQ(attempts.size(), 8u);
  std::map<std::pair<std::string, int>, const Unit*> expected;
  for (const auto& run : runs) {
    for (std::size_t i = 0; i < 4; ++i)
      expected[{(dir / ("ttyGANG" + std::to_string(i))).string(), run[i].serial}] = &run[i];
  }
  for (const QJsonObject& attempt : attempts) {
    const auto key =
        std::make_pair(attempt["port"].toString().toStdString(), attempt["serial"].toInt());
    ASSERT_TRUE(expected.count(key)) << key.first << " " << key.second;
    EXPECT_EQ(attempt["result"].toString(), expected[key]->result) << key.second;
    EXPECT_EQ(attempt["serialState"].toString(), expected[key]->state) << key.second;
    expected.erase(key);
  }
}

// Boards of their own, with their faults, and the arguments that name all of them.
struct Bench {
  std::vector<std::unique_ptr<sim::TargetBoard>> boards;
  std::vector<std::unique_ptr<sim::PtyBoard>> ptys;
  std::vector<std::string> links;
  bool Start(const test::TempDir& dir, const std::string& name,
             const std::vector<std::vector<const char*>>& faults) {
    for (std::size_t i = 0; i < faults.size(); ++i) {
      boards.push_back(std::make_unique<sim::TargetBoard>());
      for (const char* fault : faults[i])
        boards.back()->AddFault(test::Fault(fault));
      links.push_back((dir / (name + std::to_string(i))).string());
      ptys.push_back(
          std::make_unique<sim::PtyBoard>(*boards.back(), sim::PtyBoard::Options{links.back()}));
      if (!ptys.back()->Start(nullptr)) return false;
    }
    return true;
  }
  // Waits until every board has been asked for `reads` block answers.
  void WaitForReads(std::size_t reads) {
    for (auto& pty : ptys) {
      for (int i = 0; i < 2000 && pty->WithBoard([&](sim::TargetBoard& b) {
             return b.readAddresses.size() < reads;
           });
           ++i) {
        std::this_thread::sleep_for(5ms);
      }
    }
  }
  // The arguments with -p naming these boards instead of the test's board.
  std::vector<std::string> Args(std::vector<std::string> args) const {
    args.erase(args.begin() + 8, args.begin() + 10);
    for (const std::string& link : links)
      args.insert(args.end() - 2, {"-p", link});
    return args;
  }
};

// Killed with kill -9 in a two-port round while both units held their numbers in the plan:
// the next start records each unit under its own port, its number released (no program
// block was sent), and issues the numbers again.
TEST_P(ProduceTest, KilledInATwoPortRound) {
  Bench bench;
  if (!bench.Start(dir, "ttyKILL", {{"read-data@5:delay=5000"}, {"read-data@5:delay=5000"}}))
    GTEST_SKIP() << "no pseudo-terminal";
  const auto args = bench.Args(Args());
  {
    test::Process produce(OTP_CLI_PROGRAM, args, "\n");
    bench.WaitForReads(4);
    produce.Signal(SIGKILL);
    EXPECT_EQ(produce.Wait(), 128 + SIGKILL);
  }
  test::Process again(OTP_CLI_PROGRAM, args, "q\n");
  EXPECT_EQ(again.Wait(), 0) << again.Errors();
  EXPECT_NE(again.Output().find("\"event\":\"replayed\""), std::string::npos) << again.Output();
  const auto attempts = Log();
  ASSERT_EQ(attempts.size(), 2u);
  std::map<std::string, int> serialOf;
  for (const QJsonObject& a : attempts) {
    EXPECT_EQ(a["result"].toString(), "interrupted");
    EXPECT_EQ(a["serialState"].toString(), "released");
    serialOf[a["port"].toString().toStdString()] = a["serial"].toInt();
  }
  EXPECT_EQ(serialOf, (std::map<std::string, int>{{bench.links[0], 500}, {bench.links[1], 501}}));
}

// Two processes with one station name (on SQLite, naming the file differently): the second
// one's start leaves the first one's live numbers alone (the block it holds ahead), and both
// units are recorded with their own.
TEST_P(ProduceTest, TwoProcessesWithOneStationName) {
  Bench slow;
  Bench fast;
  if (!slow.Start(dir, "ttySLOW", {{"read-data@5:delay=4000"}}) ||
      !fast.Start(dir, "ttyFAST", {{}})) {
    GTEST_SKIP() << "no pseudo-terminal";
  }
  auto firstArgs = slow.Args(Args());
  auto secondArgs = fast.Args(Args());
  if (!GetParam()) {
    // One SQLite file under other names: a relative path and a link to it.
    ASSERT_EQ(firstArgs[8], "--db");
    firstArgs[9] = std::filesystem::relative(store.location).string();
    std::filesystem::create_symlink(store.location, dir / "link.db");
    secondArgs[9] = (dir / "link.db").string();
  }
  test::Process first(OTP_CLI_PROGRAM, firstArgs, "\nq\n");
  slow.WaitForReads(4);  // its number is reserved: its plan reads
  test::Process second(OTP_CLI_PROGRAM, secondArgs, "\nq\n");
  EXPECT_EQ(second.Wait(), 0) << second.Errors();
  EXPECT_EQ(first.Wait(), 0) << first.Errors();
  if (!GetParam()) {
    // One journal folder, named after the file itself.
    std::set<std::string> folders;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
      if (entry.path().extension() == ".journals") folders.insert(entry.path().filename());
    EXPECT_EQ(folders, std::set<std::string>{"production.db.journals"});
  }
  const auto attempts = Log();
  ASSERT_EQ(attempts.size(), 2u);
  EXPECT_GT(attempts[0]["serial"].toInt(), 501);  // the second ended first: after the block
  EXPECT_EQ(attempts[1]["serial"].toInt(), 500);
  for (const QJsonObject& a : attempts) {
    EXPECT_EQ(a["result"].toString(), "pass");
    EXPECT_EQ(a["serialState"].toString(), "used");
  }
}

// Ctrl-C while a unit burns: it stops between blocks and is recorded as interrupted, its
// number released; log --since takes times with an offset.
TEST_P(ProduceTest, InterruptedAndTimesWithOffsets) {
  StartBoard({"read-data@5:delay=3000"});
  const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-60);
  test::Process produce(OTP_CLI_PROGRAM, Args(), "\n");
  for (int i = 0;
       i < 2000 && pty->WithBoard([](sim::TargetBoard& b) { return b.readAddresses.size() < 4; });
       ++i) {
    std::this_thread::sleep_for(5ms);
  }
  produce.Signal(SIGINT);
  EXPECT_EQ(produce.Wait(), 6) << produce.Errors();
  const auto attempts = Log();
  ASSERT_EQ(attempts.size(), 1u);
  EXPECT_EQ(attempts[0]["result"].toString(), "interrupted");
  EXPECT_EQ(attempts[0]["serialState"].toString(), "released");
  struct Since {
    QString time;
    int attempts;
  };
  const QDateTime tokyo = before.toOffsetFromUtc(9 * 3600);
  const Since cases[] = {
      {tokyo.toString(Qt::ISODate), 1},                                            // +09:00
      {before.toString(Qt::ISODate).chopped(1), 1},                                // no offset: UTC
      {before.addSecs(7200).toOffsetFromUtc(-5 * 3600).toString(Qt::ISODate), 0},  // -05:00
  };
  for (const Since& c : cases) {
    SCOPED_TRACE(c.time.toStdString());
    test::Process log(OTP_CLI_PROGRAM,
                      {"--db", store.location, "--json", "log", "--since", c.time.toStdString()});
    EXPECT_EQ(log.Wait(), 0) << log.Errors();
    EXPECT_NE(log.Output().find("\"total\":" + std::to_string(c.attempts)), std::string::npos)
        << log.Output();
  }
}

// PostgreSQL stops while a unit burns: the unit finishes and passes from the numbers the
// station holds, and the station says that its record waits in the journal; once the
// server is back, the next start records it as it ended, passed, its number used. (A
// server of the test's own: the others go on.)
TEST_P(ProduceTest, PostgresStoppedWhileAUnitBurns) {
  if (!GetParam()) GTEST_SKIP() << "PostgreSQL only";
  test::OwnPostgres server;
  ASSERT_TRUE(server.Start());
  const std::string location = server.location;
  StartBoard({"program-status@1:delay=1500"});
  auto args = Args();
  args[11] = location;
  test::Process produce(OTP_CLI_PROGRAM, args, "\nq\n");
  for (int i = 0; i < 2000 && pty->WithBoard([](sim::TargetBoard& b) {
         return b.programAddresses.empty() &&
                std::count(b.commands.begin(), b.commands.end(), 0x08) == 0;
       });
       ++i) {
    std::this_thread::sleep_for(5ms);
  }
  ASSERT_TRUE(server.Pause());
  EXPECT_EQ(produce.Wait(), 0) << produce.Errors();
  EXPECT_NE(produce.Errors().find("waits in the journal"), std::string::npos) << produce.Errors();
  pty->WithBoard([](sim::TargetBoard& b) {
    EXPECT_EQ(b.memory()[0xC002], 3);  // the unit went on to its end
    return 0;
  });
  ASSERT_TRUE(server.Resume());
  test::Process again(OTP_CLI_PROGRAM, args, "q\n");
  EXPECT_EQ(again.Wait(), 0) << again.Errors();
  EXPECT_NE(again.Output().find("\"event\":\"replayed\",\"port\":\"" + link), std::string::npos)
      << again.Output();
  test::Process log(OTP_CLI_PROGRAM, {"--db", location, "--json", "log"});
  EXPECT_EQ(log.Wait(), 0) << log.Errors();
  EXPECT_NE(log.Output().find("\"result\":\"pass\""), std::string::npos) << log.Output();
  EXPECT_NE(log.Output().find("\"serialState\":\"used\""), std::string::npos) << log.Output();
  EXPECT_NE(log.Output().find("\"total\":1"), std::string::npos) << log.Output();
}

// Killed with kill -9 while its unit programmed the part (serial 500), the station left
// a journal whose last line was then damaged on the disk: were it read as the line before
// it says, 500 would be given again. The next start records nothing of that journal,
// sets it aside and says so, spoils the numbers its station held, and the next part gets
// a number no part holds; log names the journal set aside.
TEST_P(ProduceTest, ADamagedJournalRepeatsNoNumber) {
  StartBoard({"program-status@1:delay=5000"});
  {
    test::Process produce(OTP_CLI_PROGRAM, Args(), "\n");
    for (int i = 0;
         i < 2000 && pty->WithBoard([](sim::TargetBoard& b) { return b.programAddresses.empty(); });
         ++i) {
      std::this_thread::sleep_for(5ms);
    }
    produce.Signal(SIGKILL);
    EXPECT_EQ(produce.Wait(), 128 + SIGKILL);
  }
  std::filesystem::path folder = store.location + ".journals";
  if (GetParam()) {
    test::Process show(OTP_CLI_PROGRAM, {"--db", store.location, "--json", "store", "show"});
    ASSERT_EQ(show.Wait(), 0) << show.Errors();
    const auto at = show.Output().find("\"identity\":\"") + 12;
    const std::string identity = show.Output().substr(at, show.Output().find('"', at) - at);
    folder = std::filesystem::path(OTP_CLI_PROGRAM).parent_path() / "journals" / identity;
  }
  std::filesystem::path journal;
  for (const auto& item : std::filesystem::directory_iterator(folder))
    if (item.path().extension() == ".journal") journal = item.path();
  ASSERT_FALSE(journal.empty()) << folder;
  std::string text = test::TempDir::ReadFile(journal);
  const std::size_t line = text.find("\nprogramming ");
  ASSERT_NE(line, std::string::npos) << text;
  text[text.find("serial=500", line) + 9] = '1';  // one byte, as a bad sector leaves it
  std::ofstream(journal, std::ios::binary | std::ios::trunc) << text;

  StartBoard({});
  test::Process again(OTP_CLI_PROGRAM, Args(), "\nq\n");
  EXPECT_EQ(again.Wait(), 0) << again.Errors();
  EXPECT_NE(again.Output().find("\"event\":\"damaged\""), std::string::npos) << again.Output();
  EXPECT_NE(again.Output().find("\"line\":4"), std::string::npos) << again.Output();
  EXPECT_NE(again.Errors().find("is damaged (line 4: its checksum does not match its text)"),
            std::string::npos)
      << again.Errors();
  EXPECT_FALSE(std::filesystem::exists(journal));
  const auto attempts = Log();
  ASSERT_EQ(attempts.size(), 1u);
  EXPECT_EQ(attempts[0]["result"].toString(), "pass");
  EXPECT_GT(attempts[0]["serial"].toInt(), 500);
  test::Process log(OTP_CLI_PROGRAM, {"--db", store.location, "--json", "log"});
  EXPECT_EQ(log.Wait(), 0) << log.Errors();
  EXPECT_NE(log.Output().find("\"event\":\"damaged\""), std::string::npos) << log.Output();
  EXPECT_NE(log.Output().find("\"setAside\":true"), std::string::npos) << log.Output();
}

// Everything written for a machine keeps its decimal point in a locale that writes a
// comma: the JSON of produce and of log, and the CSV.
TEST_P(ProduceTest, NumbersForMachinesInACommaLocale) {
  const test::CommaLocale& comma = test::CommaLocale::Get();
  if (comma.folder.empty()) GTEST_SKIP() << "localedef cannot make a German locale here";
  StartBoard({});
  auto inLocale = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"LC_ALL=" + comma.name, "LOCPATH=" + comma.folder, OTP_CLI_PROGRAM});
    return args;
  };
  test::Process produce("/usr/bin/env", inLocale(Args()), "\nq\n");
  ASSERT_EQ(produce.Wait(), 0) << produce.Errors();
  const std::string csv = (dir / "log.csv").string();
  test::Process log("/usr/bin/env", inLocale({"--db", store.location, "--json", "log"}));
  ASSERT_EQ(log.Wait(), 0) << log.Errors();
  test::Process csvLog("/usr/bin/env", inLocale({"--db", store.location, "log", "--csv", csv}));
  ASSERT_EQ(csvLog.Wait(), 0) << csvLog.Errors();
  int seconds = 0;
  for (const std::string& output : {produce.Output(), log.Output()}) {
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
      QJsonParseError error{};
      const QJsonObject event =
          QJsonDocument::fromJson(QByteArray::fromStdString(line), &error).object();
      ASSERT_EQ(error.error, QJsonParseError::NoError) << line;
      if (event.contains("seconds")) {
        ++seconds;
        EXPECT_TRUE(event["seconds"].isDouble()) << line;
      }
    }
  }
  EXPECT_GE(seconds, 3);  // a unit, the run's result, and the attempt
  const std::string rows = test::TempDir::ReadFile(csv);
  // The seconds: the third column from the end.
  const std::string row = rows.substr(rows.rfind('\n', rows.size() - 2) + 1);
  std::vector<std::string> cells;
  std::istringstream cellText(row);
  for (std::string cell; std::getline(cellText, cell, ',');)
    cells.push_back(cell);
  ASSERT_GE(cells.size(), 3u);
  const std::string last = cells[cells.size() - 3];
  EXPECT_NE(last.find('.'), std::string::npos) << rows;
}

// The journal folder is not trusted: a FIFO, a link to a device and a file larger than
// any journal are named and skipped, never read (no hang, bounded memory); a journal whose
// unit the store refuses is set aside, the station starts, and log says so.
TEST(JournalFolder, WhatIsNoJournalIsNamedAndSkipped) {
  test::TempDir dir;
  dir.Write("m_otp.150", std::string(200, '\x4D'));
  const std::string db = (dir / "production.db").string();
  const std::filesystem::path journals = db + ".journals";
  std::filesystem::create_directories(journals);
  ASSERT_EQ(::mkfifo((journals / "fifo.journal").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", journals / "zero.journal");
  { std::ofstream big(journals / "big.journal"); }
  std::filesystem::resize_file(journals / "big.journal", std::uintmax_t{300} << 20);
  // A unit of a process that is gone: its number was never reserved in this store.
  std::ofstream(journals / "4242-dead.journal")
      << "ended unit=4242-dead-1 started=2026-12-08T10:00:00Z ended=2026-12-08T10:00:19Z "
         "station=line-9 port=COM1 device=/dev/ttyUSB0 model=KT47C150 clock=8MHz image=app.mhx "
         "crc32=0 job= jobsum= counter=serial serial=7 state=used result=pass verdict=pass "
         "report= text= difference= block= seconds=19.000 end\n";
  sim::TargetBoard board;
  const std::string link = (dir / "ttyBOARD").string();
  sim::PtyBoard pty(board, sim::PtyBoard::Options{link});
  if (!pty.Start(nullptr)) GTEST_SKIP() << "no pseudo-terminal";
  const std::string image = dir.Write("app.mhx", test::Record('1', 0xC000, {1}) + "\n").string();
  test::Process produce(OTP_CLI_PROGRAM,
                        {"--monitor-dir", dir.path().string(), "-m", "KT47C150", "-c", "8MHz", "-p",
                         link, "--db", db, "--serial", "0xFFF0:be16", "produce", image},
                        "\nq\n");
  ASSERT_EQ(produce.WaitAtMost(std::chrono::seconds(60)), 0) << produce.Errors();
  test::Process log(OTP_CLI_PROGRAM, {"--db", db, "log"});
  ASSERT_EQ(log.WaitAtMost(std::chrono::seconds(60)), 0) << log.Errors();
  // Against the same program on a copy of the store without journals (a sanitizer's build needs
  // more of its own): the 300 MiB file was never read.
  std::filesystem::copy_file(db, dir / "plain.db");
  test::Process plain(OTP_CLI_PROGRAM, {"--db", (dir / "plain.db").string(), "log"});
  ASSERT_EQ(plain.WaitAtMost(std::chrono::seconds(60)), 0) << plain.Errors();
  EXPECT_LT(log.maxRssKiB(), plain.maxRssKiB() + 32 * 1024);
  for (const std::string& errors : {produce.Errors(), log.Errors()}) {
    for (const char* named :
         {"fifo.journal is no regular file", "zero.journal is no regular file",
          "big.journal is larger than any journal", "4242-dead.journal", "was set aside"}) {
      EXPECT_NE(errors.find(named), std::string::npos) << named << "\n" << errors;
    }
  }
  EXPECT_TRUE(std::filesystem::exists(journals / "4242-dead.journal.set-aside"));
  EXPECT_NE(log.Output().find("1 attempts: pass 1"), std::string::npos) << log.Output();
  // The next start does not replay what was set aside.
  test::Process again(OTP_CLI_PROGRAM, {"--db", db, "--json", "log"});
  ASSERT_EQ(again.WaitAtMost(std::chrono::seconds(60)), 0);
  EXPECT_NE(again.Output().find("\"event\":\"setAside\""), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Stores, ProduceTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PostgreSQL" : "SQLite"; });

}  // namespace
}  // namespace otp
