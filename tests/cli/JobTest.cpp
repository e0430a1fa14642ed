#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <memory>
#include <sstream>

#include "core/Sha256.h"

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

// A job's text with its checksum line made right again for what it holds now: an edit
// that the SHA-256 alone cannot see.
std::string Resigned(std::string text) {
  const auto at = text.find("Checksum=");
  const auto end = text.find('\n', at);
  text.erase(at, end - at + 1);
  return text.substr(0, at) + "Checksum=" + Sha256Hex(text) + "\n" + text.substr(at);
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// A job made by the command line, and the same job edited by hand in every way that must
// refuse it, its checksum made right again or not: each is refused by job check, shown
// (its problem first) by job show, and burns nothing through produce or program, with
// the exit status and the words that say what is wrong.
TEST(JobFiles, EveryUseChecksEverything) {
  test::TempDir dir;
  dir.Write("m_otp.150", std::string(100, 'm'));
  sim::TargetBoard board;
  const std::string link = (dir / "ttyBOARD").string();
  sim::PtyBoard pty(board, sim::PtyBoard::Options{link});
  if (!pty.Start(nullptr)) GTEST_SKIP() << "no pseudo-terminal";
  const std::string image =
      dir.Write("app.mhx", test::Record('1', 0xC000, {1, 2, 3}) + "\n").string();
  const std::string good = (dir / "good.otpjob").string();
  const Ran made =
      Cli({"job", "create", good, "--name", "LINE-2", "-m", "KT47C150", "-c", "8MHz", "--serial",
           "0xFFF0:be16", "--serial-start", "500", "--note", "first batch", image});
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string text = test::TempDir::ReadFile(good);
  // The image is held as records of 32 bytes: its first one, and one byte of it changed
  // with the record's own checksum made right.
  std::vector<std::uint8_t> bytes(32, 0xFF);
  bytes[0] = 1;
  bytes[1] = 2;
  bytes[2] = 3;
  const std::string line = test::Record('1', 0xC000, bytes);
  bytes[2] = 4;
  const std::string otherLine = test::Record('1', 0xC000, bytes);
  const std::size_t imageLine =
      static_cast<std::size_t>(std::count(text.begin(), text.begin() + text.find(line), '\n')) + 1;
  std::string crlf;
  for (const char c : text)
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  struct Case {
    const char* what;
    std::string content;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {"as made", text, 0, "matches its checksum"},
      {"with CR LF line ends", crlf, 0, "matches its checksum"},
      {"one byte of the image", Replaced(text, line, otherLine), 3, "the image or that field"},
      {"only its CRC field", Replaced(text, "CRC32=0x", "CRC32=0x1"), 3, "the image or that field"},
      {"a comment line", Replaced(text, "# An OTP Writer job", "# A job"), 3,
       "the file was changed since it was made"},
      {"a newer format", Replaced(text, "Format=2", "Format=3"), 3,
       "made by a newer program (format 3)"},
      {"no checksum", Replaced(text, "Checksum=", "Sum="), 3, "holds no checksum"},
      {"no job at all", "S9030000FC\n", 3, "is no job file"},
      {"the number on the image", Resigned(Replaced(text, "0xFFF0:be16", "0xC000:bcd:8")), 3,
       "where the serial number goes"},
      {"the number below the area", Resigned(Replaced(text, "0xFFF0:be16", "0x0100:le32")), 3,
       "leave the OTP area"},
      {"the number past the end", Resigned(Replaced(text, "0xFFF0:be16", "0xFFFE:ascii:19")), 3,
       "leave the OTP area"},
      {"the number far past the end", Resigned(Replaced(text, "0xFFF0:be16", "0xFFFFFFF0:le32")), 3,
       "leave the OTP area"},
      {"the number at 2^31", Resigned(Replaced(text, "0xFFF0:be16", "0x7FFFFFFF:ascii:19")), 3,
       "leave the OTP area"},
      {"a first number too large", Resigned(Replaced(text, "SerialStart=500", "SerialStart=70000")),
       3, "does not fit 0xFFF0:be16"},
      {"the serial rule twice",
       Resigned(Replaced(text, "Serial=0xFFF0:be16\n", "Serial=0xFFF0:be16\nSerial=0xC000:le16\n")),
       3, "the field Serial is given twice"},
      {"a field this program does not know", Resigned(Replaced(text, "Note=", "Colour=red\nNote=")),
       3, "Colour is no field of a job"},
      {"an image line that cannot be read",
       Resigned(Replaced(text, line, line.substr(0, 10) + "ZZ" + line.substr(12))), 3,
       "(line " + std::to_string(imageLine) + ")"},
  };
  int handshakes = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string file = dir.Write("case.otpjob", c.content).string();
    const Ran checked = Cli({"job", "check", file});
    EXPECT_EQ(checked.status, c.status) << checked.out << checked.err;
    EXPECT_NE((checked.out + checked.err).find(c.says), std::string::npos)
        << checked.out << checked.err;
    const Ran shown = Cli({"job", "show", file});
    EXPECT_EQ(shown.status, c.status) << shown.err;
    if (c.status != 0) {
      EXPECT_NE(shown.err.find(c.says), std::string::npos) << shown.err;
      // What can be read is shown, for quality control to see.
      if (c.content.find("[Job]") != std::string::npos &&
          c.content.find("Format=3") == std::string::npos) {
        EXPECT_NE(shown.out.find("LINE-2"), std::string::npos) << shown.out;
      }
    }
    for (const char* command : {"produce", "program"}) {
      const Ran burned = Cli({"--monitor-dir", dir.path().string(), "-p", link, "--db",
                              (dir / "production.db").string(), command, "--job", file},
                             "\nq\n");
      EXPECT_EQ(burned.status, c.status) << command << burned.err;
      if (c.status == 0) ++handshakes;
      pty.WithBoard([](sim::TargetBoard& b) {
        b.memory().fill(0xFF);
        return 0;
      });
    }
  }
  // Only the jobs that pass reached the board.
  EXPECT_EQ(pty.WithBoard([](sim::TargetBoard& b) { return b.handshakes; }), handshakes);
  EXPECT_EQ(pty.WithBoard([](sim::TargetBoard& b) { return b.programAddresses.size(); }),
            static_cast<std::size_t>(handshakes) * 2);

  // A job is not replaced unless asked; a job that is no file is refused at once.
  const Ran again =
      Cli({"job", "create", good, "--name", "X", "-m", "KT47C150", "-c", "8MHz", image});
  EXPECT_EQ(again.status, 3);
  EXPECT_NE(again.err.find("--force"), std::string::npos) << again.err;
  EXPECT_EQ(test::TempDir::ReadFile(good), text);
  EXPECT_EQ(
      Cli({"job", "create", good, "--force", "--name", "X", "-m", "KT47C150", "-c", "8MHz", image})
          .status,
      0);
  const std::string fifo = (dir / "fifo.otpjob").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  test::Process reading(OTP_CLI_PROGRAM, {"job", "show", fifo});
  EXPECT_EQ(reading.WaitAtMost(std::chrono::seconds(10)), 3);
  EXPECT_NE(reading.Errors().find("it is no file"), std::string::npos) << reading.Errors();
}

// What a job holds is shown as text, never as the terminal's commands: a note holding an
// escape or a NUL, a name whose escaped line break would print a line of its own.
TEST(JobFiles, ShowEscapesWhatItPrints) {
  test::TempDir dir;
  const std::string image =
      dir.Write("app.mhx", test::Record('1', 0xC000, {1, 2, 3}) + "\n").string();
  const std::string job = (dir / "a.otpjob").string();
  ASSERT_EQ(
      Cli({"job", "create", job, "--name", "A", "-m", "KT47C150", "-c", "8MHz", image}).status, 0);
  const std::string text = test::TempDir::ReadFile(job);
  dir.Write("a.otpjob", Resigned(Replaced(Replaced(text, "Note=",
                                                   "Note=\x1B[2J\x07"
                                                   "bell"),
                                          "Name=A", "Name=A\\nmodel           KT47C630A")));
  const Ran shown = Cli({"job", "show", job});
  EXPECT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(shown.out.find('\x1B'), std::string::npos);
  EXPECT_EQ(shown.out.find('\x07'), std::string::npos);
  EXPECT_NE(shown.out.find("\\x1B[2J\\x07bell"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("A\\x0Amodel"), std::string::npos) << shown.out;
  EXPECT_EQ(shown.out.find("\nmodel           KT47C630A"), std::string::npos) << shown.out;
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
