#include <gtest/gtest.h>

#include "settings/ProfileFile.h"
#include "tests/support/TempDir.h"

namespace otp {
namespace {

// The line ending of a new file: the platform's own.
#ifdef _WIN32
constexpr const char* kNewLine = "\r\n";
#else
constexpr const char* kNewLine = "\n";
#endif

TEST(ProfileFile, NamesMatchWithoutRegardToCase) {
  const ProfileFile file = ProfileFile::Parse(
      "[other]\r\ncpu=7\r\n[ReCeNt]\r\n  cPu = 1 \r\nrate=2\r\nWRITE FILE= C:\\a b.mhx \r\n");
  EXPECT_EQ(file.GetInt("Recent", "CPU", 0), 1);
  EXPECT_EQ(file.GetInt("RECENT", "Rate", 0), 2);
  EXPECT_EQ(file.GetString("recent", "Write File", "x"), "C:\\a b.mhx");
  EXPECT_EQ(file.GetInt("Recent", "COM", 1), 1);
  EXPECT_EQ(file.GetString("Missing", "CPU", "fallback"), "fallback");
}

TEST(ProfileFile, FirstSectionAndFirstKeyWin) {
  const ProfileFile file = ProfileFile::Parse("[Recent]\nCPU=1\nCPU=2\n[Recent]\nRATE=3\n");
  EXPECT_EQ(file.GetInt("Recent", "CPU", 0), 1);
  EXPECT_EQ(file.GetInt("Recent", "RATE", 0), 0);  // only the first section is read
}

TEST(ProfileFile, IntegerValues) {
  struct Case {
    const char* value;
    int expected;
  };
  const Case cases[] = {{"12", 12},
                        {"-3", -3},
                        {"+4", 4},
                        {"12abc", 12},
                        {"abc", 0},
                        {"", 99},
                        {"  7  ", 7},
                        {"99999999999", 2147483647},
                        {"-99999999999", -2147483647 - 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    const ProfileFile file = ProfileFile::Parse(std::string("[Recent]\nCPU=") + c.value + "\n");
    EXPECT_EQ(file.GetInt("Recent", "CPU", 99), c.expected);
  }
}

TEST(ProfileFile, ValuesAreCutTo260CharactersNeverInsideOne) {
  const std::string longAscii(300, 'a');
  const ProfileFile ascii = ProfileFile::Parse("[R]\nK=" + longAscii + "\n");
  EXPECT_EQ(ascii.GetString("R", "K", ""), std::string(260, 'a'));

  // 259 ASCII characters, then two-byte characters: the 260th is kept whole.
  const std::string wide = std::string(259, 'b') + "éééé";
  const ProfileFile utf8 = ProfileFile::Parse("[R]\nK=" + wide + "\n");
  EXPECT_EQ(utf8.GetString("R", "K", ""), std::string(259, 'b') + "é");
  EXPECT_EQ(ascii.GetString("R", "missing", longAscii), std::string(260, 'a'));
}

TEST(ProfileFile, OneQuotePairIsStripped) {
  const ProfileFile file = ProfileFile::Parse("[R]\nA=\"C:\\x y.mhx\"\nB='q'\nC=\"open\n");
  EXPECT_EQ(file.GetString("R", "A", ""), "C:\\x y.mhx");
  EXPECT_EQ(file.GetString("R", "B", ""), "q");
  EXPECT_EQ(file.GetString("R", "C", ""), "\"open");
}

TEST(ProfileFile, WritesKeepEveryOtherByteInPlace) {
  const std::string original =
      "; settings of the writer\r\n"
      "[Ports]\r\n"
      "COM1 = /dev/ttyS0   \r\n"
      "\r\n"
      "[recent]\r\n"
      "cpu=1\r\n"
      "garbage line without equals\r\n"
      "Write File=old.mhx\r\n"
      "\r\n"
      "[Tail]\r\n"
      "x=\x01\x02 binary\r\n"
      "no line end at the end";
  ProfileFile file = ProfileFile::Parse(original);
  file.Set("Recent", "CPU", "0");
  file.Set("Recent", "Write File", "new.mhx");
  file.Set("Recent", "RATE", "2");
  EXPECT_EQ(file.Contents(),
            "; settings of the writer\r\n"
            "[Ports]\r\n"
            "COM1 = /dev/ttyS0   \r\n"
            "\r\n"
            "[recent]\r\n"
            "cpu=0\r\n"
            "garbage line without equals\r\n"
            "Write File=new.mhx\r\n"
            "RATE=2\r\n"
            "\r\n"
            "[Tail]\r\n"
            "x=\x01\x02 binary\r\n"
            "no line end at the end");
}

TEST(ProfileFile, MissingSectionIsAppendedWithTheFilesLineEnding) {
  ProfileFile file = ProfileFile::Parse("[A]\r\nk=v");
  file.Set("Recent", "COM", "3");
  EXPECT_EQ(file.Contents(), "[A]\r\nk=v\r\n[Recent]\r\nCOM=3\r\n");
  ProfileFile empty;
  empty.Set("Recent", "Write File", "");
  EXPECT_EQ(empty.Contents(), std::string("[Recent]") + kNewLine + "Write File=" + kNewLine);
  EXPECT_EQ(empty.GetString("Recent", "Write File", "default"), "");
}

TEST(ProfileFile, ALineBreakInAValueNeverAddsALine) {
  ProfileFile file = ProfileFile::Parse("[Recent]\nCPU=1\n");
  for (const std::string& value :
       {std::string("a.mhx\n[Evil]\nCPU=5"), std::string("b.mhx\r[Evil]"),
        std::string("c.mhx\0[Evil]", 12)}) {
    file.Set("Recent", "Write File", value);
    const ProfileFile reread = ProfileFile::Parse(file.Contents());
    EXPECT_EQ(file.Contents().find("[Evil]"), std::string::npos);
    EXPECT_EQ(reread.GetInt("Recent", "CPU", 0), 1);
    EXPECT_EQ(reread.GetString("Recent", "Write File", ""), value.substr(0, 5));
  }
}

// A file name that reading would trim or unquote is written so that it reads back as it is.
TEST(ProfileFile, ValuesReadBackAsTheyWereWritten) {
  struct Case {
    const char* value;
    const char* line;
  };
  const Case cases[] = {
      {"plain.mhx", "Write File=plain.mhx"},
      {" leading blank.mhx", "Write File=\" leading blank.mhx\""},
      {"trailing\t", "Write File=\"trailing\t\""},
      {"\"quoted\"", "Write File=\"\"quoted\"\""},
      {"'single'", "Write File=\"'single'\""},
      {"\"half", "Write File=\"half"},
      {"", "Write File="},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    ProfileFile file = ProfileFile::Parse("[Recent]\n");
    file.Set("Recent", "Write File", c.value);
    EXPECT_EQ(file.Contents(), std::string("[Recent]\n") + c.line + "\n");
    EXPECT_EQ(ProfileFile::Parse(file.Contents()).GetString("Recent", "Write File", "?"), c.value);
  }
}

// A last line that ends in a lone carriage return keeps it when a line is added after it:
// a line feed alone would turn it into a line ending, and "[Recent\r" into a section.
TEST(ProfileFile, LoneCarriageReturnAtTheEndStaysInItsLine) {
  ProfileFile file = ProfileFile::Parse("[Recent\r");
  file.Set("Recent", "CPU", "1");
  EXPECT_EQ(file.Contents(), std::string("[Recent\r\r\n[Recent]") + kNewLine + "CPU=1" + kNewLine);
  EXPECT_EQ(ProfileFile::Parse(file.Contents()).GetInt("Recent", "CPU", 0), 1);
}

TEST(ProfileFile, ByteOrderMarkIsKeptButDoesNotHideTheFirstSection) {
  ProfileFile file = ProfileFile::Parse("\xEF\xBB\xBF[Recent]\nCPU=1\n");
  EXPECT_EQ(file.GetInt("Recent", "CPU", 0), 1);
  file.Set("Recent", "CPU", "0");
  EXPECT_EQ(file.Contents(), "\xEF\xBB\xBF[Recent]\nCPU=0\n");
}

TEST(ProfileFile, MissingUnreadableOrGarbageFilesGiveDefaults) {
  test::TempDir dir;
  EXPECT_EQ(ProfileFile::Load(dir / "absent.txt").GetInt("Recent", "CPU", 42), 42);
  std::filesystem::create_directory(dir / "folder.txt");
  EXPECT_EQ(ProfileFile::Load(dir / "folder.txt").GetInt("Recent", "CPU", 42), 42);
  std::string garbage;
  std::mt19937 random(7);
  for (int i = 0; i < 100000; ++i)
    garbage.push_back(static_cast<char>(random()));
  dir.Write("garbage.txt", garbage);
  const ProfileFile file = ProfileFile::Load(dir / "garbage.txt");
  EXPECT_EQ(file.GetInt("Recent", "CPU", 42), 42);
  EXPECT_EQ(file.GetString("Recent", "Write File", ""), "");
}

TEST(ProfileFile, SaveReplacesTheFileAtomically) {
  test::TempDir dir;
  const auto path = dir.Write("DATAFILE.TXT", "[Recent]\nCPU=1\n");
  ProfileFile file = ProfileFile::Load(path);
  file.Set("Recent", "CPU", "0");
  ASSERT_TRUE(file.Save(path));
  EXPECT_EQ(dir.Read("DATAFILE.TXT"), "[Recent]\nCPU=0\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "DATAFILE.TXT.tmp"));

  // When the new file cannot be written (its name is a folder), nothing is replaced.
  std::filesystem::create_directory(dir / "folder.txt");
  file.Set("Recent", "CPU", "1");
  EXPECT_FALSE(file.Save(dir / "folder.txt"));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "folder.txt"));
  EXPECT_EQ(dir.Read("DATAFILE.TXT"), "[Recent]\nCPU=0\n");
}

TEST(ProfileFile, SaveWritesThroughASymbolicLink) {
  test::TempDir dir;
  const auto target = dir.Write("real.txt", "[Recent]\nCPU=1\n");
  std::error_code ec;
  std::filesystem::create_symlink(target, dir / "DATAFILE.TXT", ec);
  if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
  ProfileFile file = ProfileFile::Load(dir / "DATAFILE.TXT");
  file.Set("Recent", "CPU", "0");
  ASSERT_TRUE(file.Save(dir / "DATAFILE.TXT"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "DATAFILE.TXT"));
  EXPECT_EQ(dir.Read("real.txt"), "[Recent]\nCPU=0\n");
}

}  // namespace
}  // namespace otp
