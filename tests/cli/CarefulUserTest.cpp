#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <atomic>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "core/Texts.h"
#include "sim/PtyBoard.h"
#include "tests/support/Faults.h"
#include "tests/support/Process.h"
#include "tests/support/SRecords.h"
#include "tests/support/TempDir.h"

namespace otp {
namespace {

using namespace std::chrono_literals;

// otpwriter-cli as a careful user meets it: files named as the user named them, errors
// that say what and where, checks made before a board hears a byte.
class CarefulUserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    program.Write("m_otp.630", std::string(200, '\x4D'));
    program.Write("m_otp.150", std::string(200, '\x4D'));
    settings =
        program
            .Write("DATAFILE.TXT", "[Ports]\nCOM1=" + link + "\n[Recent]\nCPU=1\nRATE=2\nCOM=1\n")
            .string();
    StartBoard({});
  }
  void StartBoard(const std::vector<const char*>& faults, bool pace = false) {
    pty.reset();
    board = std::make_unique<sim::TargetBoard>();
    for (const char* fault : faults)
      board->AddFault(test::Fault(fault));
    bytes = 0;
    board->onTrace = [this](const sim::TraceEntry& entry) {
      if (entry.fromHost) ++bytes;
    };
    pty = std::make_unique<sim::PtyBoard>(*board, sim::PtyBoard::Options{link, pace});
    std::string error;
    if (!pty->Start(&error)) GTEST_SKIP() << "no pseudo-terminal: " << error;
  }
  struct Run {
    int status;
    std::string out;
    std::string err;
    double cpu;
  };
  // The command line with the test's settings and monitor folder, run in `cwd`.
  Run Cli(std::vector<std::string> args, const std::string& input = "",
          const std::string& cwd = "") {
    args.insert(args.begin(), {"--settings", settings, "--monitor-dir", program.path().string(),
                               "--reset", "none"});
    test::Process process(OTP_CLI_PROGRAM, args, input, cwd);
    const int status = process.Wait();
    return {status, process.Output(), process.Errors(), process.cpuSeconds()};
  }
  std::string Image(const std::string& name, std::uint32_t address,
                    const std::vector<std::uint8_t>& data) {
    return project.Write(name, test::Record('1', address, data) + "\n").string();
  }

  test::TempDir program;  // the program's folder: monitors and settings
  test::TempDir project;  // where the user works
  std::string settings;
  std::string link = (program / "ttyBOARD").string();
  std::unique_ptr<sim::TargetBoard> board;
  std::unique_ptr<sim::PtyBoard> pty;
  std::atomic<int> bytes{0};
};

// A relative FILE and OUT are the user's: from the folder the command ran in, never the
// monitor folder, which holds a file of the same name.
TEST_F(CarefulUserTest, RelativePathsAreTheUsers) {
  Image("app.mhx", 0xC000, {0x12, 0x34});
  program.Write("app.mhx", test::Record('1', 0xC000, {0x99}) + "\n");
  const Run run = Cli({"program", "app.mhx"}, "", project.path().string());
  ASSERT_EQ(run.status, 0) << run.err;
  pty->WithBoard([](sim::TargetBoard& b) {
    EXPECT_EQ(b.memory()[0xC000], 0x12);
    EXPECT_EQ(b.memory()[0xC001], 0x34);
    return 0;
  });
  const Run read = Cli({"read", "back.hex"}, "", project.path().string());
  ASSERT_EQ(read.status, 0) << read.err;
  EXPECT_TRUE(std::filesystem::exists(project / "back.hex"));
  EXPECT_FALSE(std::filesystem::exists(program / "back.hex"));
  EXPECT_EQ(project.Read("back.hex").substr(0, 1), ":");
}

// Each bad input: its exit status and the words that must appear, in English and in
// Japanese; standard output never holds a carriage return.
TEST_F(CarefulUserTest, MessagesSayWhatAndWhere) {
  const std::string hex = project.Write("app.hex", ":02C0000001023B\n:00000001FF\n").string();
  const std::string badSum =
      project.Write("sum.hex", ":02C0000001023B\n:01C0100005FF\n:00000001FF\n").string();
  const std::string noEnd = project.Write("noend.hex", ":02C0000001023B\n").string();
  const std::string binary = project.Write("app.bin", std::string(300, '\x01')).string();
  const std::string empty = project.Write("empty.mhx", "S9030000FC\n").string();
  std::filesystem::create_directories(project / "folder");
  const std::string folder = (project / "folder").string();
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> says;         // on standard output or error
    std::vector<std::string> absent = {};  // must not appear
  };
  const Case cases[] = {
      {"Intel HEX checksum", {"info", badSum}, 3, {"sum.hex: Intel HEX: checksum error in line 2"}},
      {"Intel HEX without its end", {"program", noEnd}, 3, {"noend.hex: Intel HEX: no end record"}},
      {"binary outside the area",
       {"info", "--base", "FFF0H", binary},
       3,
       {"app.bin: binary: the byte at offset 0x10 falls outside the OTP area"}},
      {"binary: bytes, not lines",
       {"info", "--base", "0xC000", binary},
       0,
       {"bytes           300", "format          binary"},
       {"lines"}},
      {"Intel HEX counts its end record", {"info", hex}, 0, {"lines           2\n"}},
      {"no data", {"info", empty}, 3, {"empty.mhx: S-record: no data in file"}},
      {"the same device twice", {"-p", link + "," + link, "blank-check"}, 64, {"the same port"}},
      {"a COM name and its device", {"-p", "COM1," + link, "blank-check"}, 64, {"the same port"}},
      {"a settings file that is not there",
       {"--settings", (project / "nothing.txt").string(), "blank-check"},
       3,
       {"--settings", "no such file"}},
      {"quiet, and the output is a folder", {"-q", "read", folder}, 3, {"cannot write", "folder"}},
      {"a port that cannot be opened",
       {"-p", (project / "ttyNONE").string(), "blank-check"},
       4,
       {"No.006", "cannot open " + (project / "ttyNONE").string() + ":"}},
      {"a store that cannot be opened",
       {"--db", (project / "no/such/production.db").string(), "log"},
       3,
       {"production.db: cannot open"}},
      {"log of a store that is not there",
       {"--db", (project / "production.db").string(), "log"},
       3,
       {"no such store"}},
      {"a time that is no time", {"log", "--since", "yesterday"}, 64, {"ISO 8601"}},
      {"a period that ends before it begins",
       {"report", "x.pdf", "--since", "2026-12-08T10:00:00+09:00", "--until", "2026-12-08"},
       64,
       {"--since 2026-12-08T01:00:00Z is not before --until 2026-12-08T00:00:00Z"}},
      {"Japanese: a file that is not there",
       {"--lang", "ja", "info", (project / "none.mhx").string()},
       3,
       {"開けません"}},
      {"Japanese: an unknown model",
       {"--lang", "ja", "-m", "KT99", "info", hex},
       64,
       {"不明な機種"}},
      {"Japanese: the help", {"--lang", "ja", "--help"}, 0, {"使い方", "終了ステータス"}},
      {"a command mistyped",
       {"prgram", hex},
       64,
       {"unknown command prgram; did you mean program?"}},
      {"a command's beginning", {"bla"}, 64, {"did you mean blank-check?"}},
      {"nothing near", {"zzzz"}, 64, {"unknown command zzzz\n"}, {"did you mean"}},
      {"a command's own help",
       {"produce", "--help"},
       0,
       {"usage: otpwriter-cli [OPTIONS] produce FILE", "status of its whole run"},
       {"Options:"}},
      {"help COMMAND", {"help", "log"}, 0, {"usage: otpwriter-cli [OPTIONS] log"}, {"Options:"}},
      {"help of no command", {"help", "lgo"}, 64, {"did you mean log?"}},
      {"Japanese: a command mistyped", {"--lang", "ja", "lgo"}, 64, {"log のことか"}},
      {"Japanese: info", {"--lang", "ja", "info", hex}, 0, {"データバイト数"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Run run = Cli(c.args);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    for (const std::string& words : c.says)
      EXPECT_NE((run.out + run.err).find(words), std::string::npos) << run.out << run.err;
    for (const std::string& words : c.absent)
      EXPECT_EQ((run.out + run.err).find(words), std::string::npos) << run.out << run.err;
    EXPECT_EQ(run.out.find('\r'), std::string::npos);
    if (c.status != 0) {
      EXPECT_FALSE(run.err.empty());  // errors are printed, quiet or not
    }
  }
  EXPECT_EQ(std::filesystem::exists(project / "production.db"), false);  // log made no store
}

// Everything that can be checked without the board is checked before any port is opened:
// the board hears no byte.
TEST_F(CarefulUserTest, FilesAreCheckedBeforeTheBoardHearsAByte) {
  const std::string bad = project.Write("bad.mhx", "S1zz\n").string();
  const std::string good = Image("good.mhx", 0xC000, {1});
  const std::string db = (project / "production.db").string();
  const std::vector<std::vector<std::string>> commands = {
      {"program", bad},
      {"compare", bad},
      {"plan", bad},
      {"read", (project / "no/such/folder/out.mhx").string()},
      {"--db", db, "produce", bad},
      {"--db", db, "--serial", "0xFFF0:be16", "--serial-start", "65536", "produce", good},
      {"--db", db, "--serial", "0xC000:be16", "produce", good},
      {"--db", db, "--serial", "0xFFF0:le24", "produce", good},
  };
  for (const auto& args : commands) {
    SCOPED_TRACE(args[args.size() - 2] + " " + args.back());
    const Run run = Cli(args, "\n\nq\n");
    EXPECT_NE(run.status, 0) << run.out << run.err;
    EXPECT_EQ(bytes.load(), 0) << run.out << run.err;
  }
}

// A part that already holds the whole image: program says so, compares, and passes with
// nothing written; produce refuses it and releases its number, as a unit is a part burned
// now.
TEST_F(CarefulUserTest, APartThatHoldsTheWholeImage) {
  const std::string image = Image("app.mhx", 0xC000, {1, 2, 3});
  ASSERT_EQ(Cli({"program", image}).status, 0);
  const int blocks = pty->WithBoard([](sim::TargetBoard& b) { return b.programAddresses.size(); });
  const Run again = Cli({"program", image});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.out.find("this part already holds this image: nothing written"),
            std::string::npos)
      << again.out;
  EXPECT_NE(again.out.find(" Read+Compare  OK !!"), std::string::npos) << again.out;
  EXPECT_EQ(pty->WithBoard([](sim::TargetBoard& b) { return b.programAddresses.size(); }),
            static_cast<std::size_t>(blocks));
  const std::string db = (project / "production.db").string();
  const Run produce = Cli({"--db", db, "--json", "produce", image}, "\nq\n");
  // The run ends well: the part was set aside with nothing written, as its line says.
  EXPECT_EQ(produce.status, 0) << produce.err;
  EXPECT_NE(produce.out.find("\"outcome\":\"already-programmed\""), std::string::npos)
      << produce.out;
  const Run log = Cli({"--db", db, "log"});
  EXPECT_NE(log.out.find("the part already holds this image"), std::string::npos) << log.out;
}

// The line goes away while a program block's status is awaited: one report 262, then the
// wait ends, without a busy loop.
TEST_F(CarefulUserTest, ALineGoneDuringAStatusWaitIsReportedOnce) {
  StartBoard({"program-data@3:hangup=100"});
  const std::string image =
      project
          .Write("big.mhx", test::Record('1', 0xC000, {1}) + "\n" + test::Record('1', 0xC100, {2}) +
                                "\n" + test::Record('1', 0xC200, {3}) + "\n" +
                                test::Record('1', 0xC300, {4}) + "\n")
          .string();
  const Run run = Cli({"program", "--no-plan", image});
  EXPECT_EQ(run.status, 2) << run.err;
  std::size_t reports = 0;
  for (auto at = run.err.find("No.016"); at != std::string::npos;
       at = run.err.find("No.016", at + 1))
    ++reports;
  EXPECT_EQ(reports, 1u) << run.err.substr(0, 2000);
  EXPECT_NE(run.err.find("No.003 Timeout error"), std::string::npos) << run.err.substr(0, 2000);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_LT(run.cpu, 0.2);  // the whole run, the wait's end included
#endif
  // The same loss in a read pass: one report, and Blank Check's verdict line.
  StartBoard({"read-data@3:hangup=10"});
  const Run blank = Cli({"blank-check"});
  EXPECT_EQ(blank.status, 2) << blank.err;
  EXPECT_NE(blank.out.find(" Blank Check NG !!"), std::string::npos) << blank.out;
}

// Ctrl-C in the middle of programming: the command says how many blocks went in and how to
// finish the part.
TEST_F(CarefulUserTest, AnInterruptedProgramSaysHowToFinish) {
  StartBoard({}, true);  // paced at 2400 bit/s: a block takes a second
  std::string records;
  for (std::uint32_t block = 0xC000; block < 0xD000; block += 0x100)
    records += test::Record('1', block, {1}) + "\n";
  const std::string image = project.Write("long.mhx", records).string();
  const std::vector<std::string> args = {"--settings",
                                         settings,
                                         "--monitor-dir",
                                         program.path().string(),
                                         "--reset",
                                         "none",
                                         "-m",
                                         "KT47C630A",
                                         "-c",
                                         "2MHz",
                                         "program",
                                         "--no-plan",
                                         image};
  test::Process run(OTP_CLI_PROGRAM, args);
  for (int i = 0; i < 3000 &&
                  pty->WithBoard([](sim::TargetBoard& b) { return b.programAddresses.size() < 2; });
       ++i) {
    std::this_thread::sleep_for(10ms);
  }
  run.Signal(SIGINT);
  EXPECT_EQ(run.Wait(), 6) << run.Errors();
  EXPECT_NE(run.Errors().find("blocks were written: program --resume finishes the part"),
            std::string::npos)
      << run.Errors();
}

// Every text that the command line shows a person has its Japanese: each help line, and
// each text the sources hand to the translation.
TEST(CliLanguage, EveryTextHasItsJapanese) {
  test::Process english(OTP_CLI_PROGRAM, {"--lang", "en", "--help"});
  test::Process japanese(OTP_CLI_PROGRAM, {"--lang", "ja", "--help"});
  ASSERT_EQ(english.Wait(), 0);
  ASSERT_EQ(japanese.Wait(), 0);
  std::istringstream en(english.Output());
  std::set<std::string> englishLines;
  std::string line;
  while (std::getline(en, line)) {
    if (line.size() > 22) englishLines.insert(line.substr(21));  // the text column
  }
  std::istringstream ja(japanese.Output());
  int compared = 0;
  while (std::getline(ja, line)) {
    if (line.size() <= 22) continue;
    ++compared;
    EXPECT_EQ(englishLines.count(line.substr(21)), 0u) << line;
  }
  EXPECT_GT(compared, 60);
  // T("..."), Tr(language, "...") and the option errors' bad("...") in the faces' sources.
  const std::regex call(
      R"re((?:\bTr\(\s*[A-Za-z_.()>\-]+\s*,|[^A-Za-z_]T\(|\bbad\()\s*((?:"(?:[^"\\]|\\.)*"\s*)+))re");
  const std::regex piece(R"re("((?:[^"\\]|\\.)*)")re");
  int texts = 0;
  for (const char* folder : {"cli", "ops", "app", "ui", "report", "web"}) {
    for (const auto& item : std::filesystem::recursive_directory_iterator(
             std::string(OTP_SOURCE_DIR) + "/" + folder)) {
      if (item.path().extension() != ".cpp") continue;
      const std::string source = test::TempDir::ReadFile(item.path());
      for (std::sregex_iterator it(source.begin(), source.end(), call), end; it != end; ++it) {
        std::string text;
        const std::string block = (*it)[1];
        for (std::sregex_iterator p(block.begin(), block.end(), piece); p != end; ++p) {
          std::string part = (*p)[1];
          for (std::size_t at = part.find("\\n"); at != std::string::npos;
               at = part.find("\\n", at))
            part.replace(at, 2, "\n");
          for (std::size_t at = part.find("\\\""); at != std::string::npos;
               at = part.find("\\\"", at))
            part.replace(at, 2, "\"");
          text += part;
        }
        ++texts;
        EXPECT_NE(Tr(Language::kJapanese, text), text) << item.path().filename() << ": " << text;
      }
    }
  }
  EXPECT_GT(texts, 100);
}

}  // namespace
}  // namespace otp
