#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <memory>
#include <sstream>

#include "sim/PtyBoard.h"
#include "tests/support/Process.h"
#include "tests/support/SRecords.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestStore.h"

namespace otp {
namespace {

using test::Ran;

Ran Cli(const std::vector<std::string>& args, const std::string& input = "") {
  return test::RunToEnd(OTP_CLI_PROGRAM, args, input);
}

// A job made by the command line, and the same job edited by hand in each way that must
// refuse it: each check with its exit status and the words that say what differs.
TEST(JobFiles, EveryChangeIsFound) {
  test::TempDir dir;
  const std::string image =
      dir.Write("app.mhx", test::Record('1', 0xC000, {1, 2, 3}) + "\n").string();
  const std::string good = (dir / "good.otpjob").string();
  const Ran made =
      Cli({"job", "create", good, "--name", "LINE-2", "-m", "KT47C150", "-c", "8MHz", "--serial",
           "0xFFF0:be16", "--serial-start", "500", "--note", "first batch", image});
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string text = test::TempDir::ReadFile(good);
  auto variant = [&](const std::string& name, const std::string& from, const std::string& to) {
    std::string changed = text;
    const auto at = changed.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    changed.replace(at, from.size(), to);
    return dir.Write(name, changed).string();
  };
  // The job holds its image as records of 32 bytes: the first one, and one byte changed
  // with its record's checksum made right.
  std::vector<std::uint8_t> bytes(32, 0xFF);
  bytes[0] = 1;
  bytes[1] = 2;
  bytes[2] = 3;
  const std::string line = test::Record('1', 0xC000, bytes);
  bytes[2] = 4;
  const std::string otherLine = test::Record('1', 0xC000, bytes);
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int status;
    const char* says;
  };
  const std::string empty = dir.Write("empty.mhx", "S9030000FC\n").string();
  const Case cases[] = {
      {"good", {"job", "check", good}, 0, "matches its checksum"},
      {"one byte of the image",
       {"job", "check", variant("byte.otpjob", line, otherLine)},
       3,
       "the image changed: its CRC-32 is"},
      {"a field",
       {"job", "check", variant("field.otpjob", "first batch", "second batch")},
       3,
       "a field changed"},
      {"a newer format",
       {"job", "check", variant("newer.otpjob", "Format=1", "Format=2")},
       3,
       "made by a newer program (format 2)"},
      {"no checksum",
       {"job", "show", variant("nosum.otpjob", "Checksum=", "Sum=")},
       3,
       "holds no checksum"},
      {"not a job", {"job", "check", image}, 3, "is no job file"},
      {"a serial on the image",
       {"job", "create", (dir / "bad.otpjob").string(), "--name", "X", "-m", "KT47C150", "-c",
        "8MHz", "--serial", "0xC001:le16", image},
       3,
       "where the serial number goes"},
      {"no data",
       {"job", "create", (dir / "none.otpjob").string(), "--name", "X", "-m", "KT47C150", "-c",
        "8MHz", empty},
       3,
       "no data in file"},
      {"no name",
       {"job", "create", (dir / "x.otpjob").string(), "-m", "KT47C150", "-c", "8MHz", image},
       64,
       "needs --name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Ran run = Cli(c.args);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    EXPECT_NE((run.out + run.err).find(c.says), std::string::npos) << run.out << run.err;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "bad.otpjob"));
  const Ran shown = Cli({"--json", "job", "show", good});
  ASSERT_EQ(shown.status, 0);
  const QJsonObject job =
      QJsonDocument::fromJson(QByteArray::fromStdString(shown.out.substr(0, shown.out.find('\n'))))
          .object();
  EXPECT_EQ(job["event"].toString(), "job");
  EXPECT_EQ(job["name"].toString(), "LINE-2");
  EXPECT_EQ(job["counter"].toString(), "LINE-2");
  EXPECT_EQ(job["serialStart"].toInt(), 500);
  EXPECT_EQ(job["shortChecksum"].toString().size(), 8);
}

// produce --job on both stores: the job's model, image and serial rule, its name and
// checksum in every record, log --job to find them; options that would change the job are
// refused before anything else.
class JobProduceTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!store.Make(GetParam(), dir)) GTEST_SKIP() << "no PostgreSQL server (OTP_TEST_POSTGRES)";
    dir.Write("m_otp.150", std::string(100, 'm'));
    dir.Write("settings.txt", "[Recent]\nCPU=0\nRATE=0\n");  // another model, another clock
    board = std::make_unique<sim::TargetBoard>();
    pty = std::make_unique<sim::PtyBoard>(*board, sim::PtyBoard::Options{link});
    if (!pty->Start(nullptr)) GTEST_SKIP() << "no pseudo-terminal";
    image = dir.Write("app.mhx", test::Record('1', 0xC000, {1, 2, 3}) + "\n").string();
    const Ran made = Cli({"job", "create", job, "--name", "LINE-2", "-m", "KT47C150", "-c", "8MHz",
                          "--serial", "0xFFF0:be16", "--serial-start", "500", image});
    ASSERT_EQ(made.status, 0) << made.err;
    sum = made.out.substr(made.out.size() - 9, 8);
  }
  std::vector<std::string> Args(std::vector<std::string> tail) const {
    std::vector<std::string> args = {"--settings",
                                     (dir / "settings.txt").string(),
                                     "--monitor-dir",
                                     dir.path().string(),
                                     "-p",
                                     link,
                                     "--db",
                                     store.location,
                                     "--station",
                                     "line-2"};
    args.insert(args.end(), tail.begin(), tail.end());
    return args;
  }

  test::TempDir dir;
  test::TestStore store;
  std::string link = (dir / "ttyBOARD").string();
  std::string job = (dir / "line2.otpjob").string();
  std::string image;
  std::string sum;
  std::unique_ptr<sim::TargetBoard> board;
  std::unique_ptr<sim::PtyBoard> pty;
};

TEST_P(JobProduceTest, TheJobIsInEveryRecord) {
  const Ran produce = Cli(Args({"--json", "produce", "--job", job}), "\nq\n");
  ASSERT_EQ(produce.status, 0) << produce.err;
  pty->WithBoard([](sim::TargetBoard& b) {
    EXPECT_EQ(b.memory()[0xC002], 3);
    EXPECT_EQ(b.memory()[0xFFF0] << 8 | b.memory()[0xFFF1], 500);
    b.memory().fill(0xFF);
    return 0;
  });
  const Ran program = Cli(Args({"--json", "program", "--job", job}));
  ASSERT_EQ(program.status, 0) << program.err;
  EXPECT_EQ(pty->WithBoard([](sim::TargetBoard& b) { return b.memory()[0xFFF1]; }), 501 & 0xFF);
  const Ran log = Cli({"--db", store.location, "--json", "log", "--job", "LINE-2"});
  ASSERT_EQ(log.status, 0) << log.err;
  int attempts = 0;
  std::istringstream lines(log.out);
  std::string line;
  while (std::getline(lines, line)) {
    const QJsonObject event = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
    if (event["event"].toString() != "attempt") continue;
    ++attempts;
    EXPECT_EQ(event["job"].toString(), "LINE-2");
    EXPECT_EQ(event["jobChecksum"].toString().toStdString(), sum);
    EXPECT_EQ(event["model"].toString(), "KT47C150");
    EXPECT_EQ(event["image"].toString(), "app.mhx");
  }
  EXPECT_EQ(attempts, 2);
  EXPECT_EQ(Cli({"--db", store.location, "--json", "log", "--job", "OTHER"}).out.find("attempt"),
            std::string::npos);
  // What would change the job is refused, and the board hears nothing.
  const int handshakes = pty->WithBoard([](sim::TargetBoard& b) { return b.handshakes; });
  for (const auto& extra : std::vector<std::vector<std::string>>{{"-m", "KT47C630A"},
                                                                 {"-c", "2MHz"},
                                                                 {"--serial", "0xFFF0:le16"},
                                                                 {"--serial-start", "7"},
                                                                 {"--counter", "other"}}) {
    SCOPED_TRACE(extra[0]);
    auto args = Args(extra);
    args.insert(args.end(), {"produce", "--job", job});
    EXPECT_EQ(Cli(args, "\nq\n").status, 64);
  }
  EXPECT_EQ(Cli(Args({"produce", "--job", job, image}), "\nq\n").status, 64);
  EXPECT_EQ(Cli(Args({"program", "--resume", "--job", job})).status, 64);  // not allowed by it
  EXPECT_EQ(pty->WithBoard([](sim::TargetBoard& b) { return b.handshakes; }), handshakes);
}

INSTANTIATE_TEST_SUITE_P(Stores, JobProduceTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PostgreSQL" : "SQLite"; });

}  // namespace
}  // namespace otp
