#include <gtest/gtest.h>

#include <algorithm>

#include "hexfile/FlashBuffer.h"
#include "tests/support/OpenFiles.h"
#include "tests/support/SRecords.h"
#include "tests/support/TempDir.h"

namespace otp {
namespace {

using test::Record;

class FlashBufferTest : public ::testing::Test {
 protected:
  // Builds the image from `contents`; returns the result and leaves the message, if any.
  bool Build(const std::string& contents, const char* name = "image.mhx") {
    dir.Write(name, contents);
    return BuildFile((dir / name).string());
  }
  bool BuildFile(const std::string& path) {
    flash.fill(0x5A);
    result = LoadImageFile(path, 0xC000, 0xFFFF, flash);
    return result.error == ImageError::kNone;
  }
  std::string Message() const {
    return result.error == ImageError::kNone ? "" : ImageErrorText(result);
  }
  bool AllFF() const {
    return std::all_of(flash.begin(), flash.end(), [](std::uint8_t b) { return b == 0xFF; });
  }

  test::TempDir dir;
  ImageResult result;
  FlashImage flash{};
};

TEST_F(FlashBufferTest, HeaderRecordsAndTermination) {
  const std::string file = "S00600004844521B\n" + Record('1', 0xC000, {1, 2, 3}) + "\n" +
                           Record('2', 0x00D000, {4}) + "\n" + Record('3', 0x0000FFFE, {5, 6}) +
                           "\nS9030000FC\n";
  ASSERT_TRUE(Build(file));
  EXPECT_EQ(result.dataBytes, 6u);
  FlashImage expected;
  expected.fill(0xFF);
  expected[0xC000] = 1;
  expected[0xC001] = 2;
  expected[0xC002] = 3;
  expected[0xD000] = 4;
  expected[0xFFFE] = 5;
  expected[0xFFFF] = 6;
  EXPECT_EQ(flash, expected);
}

TEST_F(FlashBufferTest, EmptyFileGivesABlankImage) {
  EXPECT_TRUE(Build(""));
  EXPECT_TRUE(AllFF());
  EXPECT_EQ(result.dataBytes, 0u);
}

TEST_F(FlashBufferTest, FilesThatCannotBeOpened) {
  std::filesystem::create_directory(dir / "folder.mhx");
  for (const std::string& path : {(dir / "missing.mhx").string(), std::string(),
                                  (dir / "folder.mhx").string(), std::string("/dev/zero")}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(BuildFile(path));
    EXPECT_EQ(Message(), "file open error");
    EXPECT_TRUE(AllFF());
  }
}

TEST_F(FlashBufferTest, BadLinesNameTheirLineNumber) {
  const std::string good = Record('1', 0xC000, {1}) + "\n";
  struct Case {
    const char* what;
    std::string contents;
    const char* message;
  };
  const Case cases[] = {
      {"byte-order mark", "\xEF\xBB\xBF" + good, "file error in 1"},
      {"leading blank", " " + good, "file error in 1"},
      {"lower-case s", good + "s1" + good.substr(2), "file error in 2"},
      {"line of blanks", good + "    \n", "file error in 2"},
      {"S4", good + good + "S404C0001229\n", "S-format error in 3"},
      {"S6", "S6\n", "S-format error in 1"},
      {"only an S", good + "S\n", "S-format error in 2"},
      {"record without data", "S103C0003C\n", "decode error in 1"},
      {"carriage return inside", "S104C000\r1229\n", "decode error in 1"},
      {"empty line 3, bad line 4", good + good + "\n" + "S1XX\n", "decode error in 4"},
      {"below the area", Record('1', 0xBFFF, {1}) + "\n", "address error in 1"},
      {"runs past the area", Record('1', 0xFFFF, {1, 2}) + "\n", "address error in 1"},
      {"32-bit wrap", Record('3', 0xFFFFFFFF, {1, 2}) + "\n", "address error in 1"},
      {"S3 far above", Record('3', 0x0001C000, {1}) + "\n", "address error in 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(Build(c.contents));
    EXPECT_EQ(Message(), c.message);
  }
}

TEST_F(FlashBufferTest, RejectedRecordWritesNothing) {
  EXPECT_FALSE(Build(Record('1', 0xFFFF, {0x11, 0x22}) + "\n"));
  EXPECT_EQ(flash[0xFFFF], 0xFF);
  EXPECT_FALSE(Build(Record('3', 0xFFFFFFFF, {0x11, 0x22}) + "\n"));
  EXPECT_TRUE(AllFF());
}

TEST_F(FlashBufferTest, AddressEdges) {
  ASSERT_TRUE(Build(Record('1', 0xFFFF, {0x77}) + "\n" + Record('1', 0xC000, {0x66}) + "\n"));
  EXPECT_EQ(flash[0xFFFF], 0x77);
  EXPECT_EQ(flash[0xC000], 0x66);
  EXPECT_EQ(flash[0xBFFF], 0xFF);
}

TEST_F(FlashBufferTest, LinesAfterTerminationAreStillRead) {
  ASSERT_TRUE(Build("S9030000FC\n" + Record('1', 0xC100, {9}) + "\n"));
  EXPECT_EQ(flash[0xC100], 9);
  EXPECT_FALSE(Build("S9030000FC\n" + Record('1', 0x0100, {9}) + "\n"));
  EXPECT_EQ(Message(), "address error in 2");
}

TEST_F(FlashBufferTest, SkippedRecordsAreNotChecked) {
  ASSERT_TRUE(Build("S0 anything at all, even lower case\nS5\nS7zz\nS8\r\nS9 \n"));
  EXPECT_TRUE(AllFF());
}

TEST_F(FlashBufferTest, LaterRecordsWin) {
  ASSERT_TRUE(Build(Record('1', 0xC000, {1, 2, 3}) + "\n" + Record('1', 0xC001, {9}) + "\n"));
  EXPECT_EQ(flash[0xC000], 1);
  EXPECT_EQ(flash[0xC001], 9);
  EXPECT_EQ(flash[0xC002], 3);
}

TEST_F(FlashBufferTest, LineEndsOfEitherKindGiveTheSameImage) {
  std::string lf;
  std::string crlf;
  for (std::uint32_t a = 0xC000; a < 0xC400; a += 32) {
    std::vector<std::uint8_t> data(32, static_cast<std::uint8_t>(a >> 5));
    lf += Record('1', a, data) + "\n";
    crlf += Record('1', a, data) + "\r\n";
  }
  ASSERT_TRUE(Build(lf));
  const FlashImage withLf = flash;
  ASSERT_TRUE(Build(crlf));
  EXPECT_EQ(flash, withLf);
  EXPECT_NE(flash[0xC3FF], 0xFF);
  // Without a line end after the last record, the record still counts.
  ASSERT_TRUE(Build(crlf.substr(0, crlf.size() - 2)));
  EXPECT_EQ(flash, withLf);
}

TEST_F(FlashBufferTest, CtrlZEndsTheFile) {
  const std::string record = Record('1', 0xC000, {0x42});
  ASSERT_TRUE(Build(record + "\r\n\x1A" + "this is not read\n"));
  EXPECT_EQ(flash[0xC000], 0x42);
  ASSERT_TRUE(Build(record + "\x1A"));
  EXPECT_EQ(flash[0xC000], 0x42);
  // A carriage return before the Ctrl-Z stays in the last line.
  EXPECT_FALSE(Build(record + "\r\x1A"));
  EXPECT_EQ(Message(), "decode error in 1");
}

// The file is read in pieces of 64 KiB: a record, its CR LF ending or a Ctrl-Z may fall
// across the edge of a piece at any point.
TEST_F(FlashBufferTest, LinesAcrossTheEdgeOfAPiece) {
  const std::string record = Record('1', 0xC123, {0x42, 0x43});
  for (std::size_t shift = 0; shift < record.size() + 4; ++shift) {
    SCOPED_TRACE(shift);
    // Skipped lines up to a few characters before the edge.
    std::string text;
    int lines = 0;
    const std::size_t before = 65536 - shift;
    while (text.size() + 100 < before) {
      text += "S0" + std::string(96, 'A') + "\r\n";
      ++lines;
    }
    text += "S0" + std::string(before - text.size() - 4, 'B') + "\r\n";
    ++lines;
    ASSERT_EQ(text.size(), before);
    ASSERT_TRUE(Build(text + record + "\r\n" + "S9030000FC\r\n"));
    EXPECT_EQ(flash[0xC124], 0x43);
    EXPECT_FALSE(Build(text + record + "\r\nS1zz\r\n"));
    EXPECT_EQ(Message(), "decode error in " + std::to_string(lines + 2));
    ASSERT_TRUE(Build(text + record + "\x1A" + "S1zz\n"));
    EXPECT_EQ(flash[0xC123], 0x42);
  }
}

TEST_F(FlashBufferTest, LongLines) {
  // A record of 256 pairs followed by many more digits: only the digits matter.
  std::vector<std::uint8_t> data(250, 0x3C);
  const std::string record = Record('3', 0xC000, data);
  ASSERT_TRUE(Build(record + std::string(100000, 'A') + "\n"));
  EXPECT_EQ(flash[0xC000 + 249], 0x3C);
  // ... a character far beyond them that no record holds rejects the line.
  EXPECT_FALSE(Build(record + std::string(100000, 'A') + "x\n"));
  EXPECT_EQ(Message(), "decode error in 1");
  // A skipped line of any length.
  ASSERT_TRUE(Build("S0" + std::string(3'000'000, 'z') + "\n" + Record('1', 0xC000, {1}) + "\n"));
  EXPECT_EQ(flash[0xC000], 1);
}

TEST_F(FlashBufferTest, FileIsClosedWhenTheLoadEnds) {
  const int before = test::OpenFileCount();
  EXPECT_FALSE(Build("garbage\n"));
  EXPECT_EQ(test::OpenFileCount(), before);
  EXPECT_TRUE(Build(Record('1', 0xC000, {1}) + "\n"));
  EXPECT_EQ(test::OpenFileCount(), before);
}

}  // namespace
}  // namespace otp

namespace otp {
namespace {

// An Intel HEX line: count, offset, type, data and the checksum that makes the sum 0.
std::string Hex(std::uint8_t type, std::uint16_t offset, const std::vector<std::uint8_t>& data,
                int sumAdjust = 0) {
  std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(data.size()),
                                  static_cast<std::uint8_t>(offset >> 8),
                                  static_cast<std::uint8_t>(offset), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (const auto b : bytes)
    sum += b;
  bytes.push_back(static_cast<std::uint8_t>(-sum + sumAdjust));
  std::string line = ":";
  char hex[3];
  for (const auto b : bytes) {
    std::snprintf(hex, sizeof(hex), "%02X", b);
    line += hex;
  }
  return line + "\n";
}

const std::string kEnd = ":00000001FF\n";

TEST_F(FlashBufferTest, IntelHexIsChosenByContent) {
  // Extended linear and segment addresses, start addresses skipped, data after the end
  // record never read, records later in the file winning, lower-case digits, empty lines.
  const std::string file = "\n" + Hex(0x04, 0, {0x00, 0x00}) + Hex(0x00, 0xC000, {1, 2, 3}) +
                           Hex(0x02, 0, {0x0C, 0x00}) + Hex(0x00, 0x0001, {9}) +
                           Hex(0x05, 0, {0, 0, 0xC0, 0}) + Hex(0x03, 0, {0, 0, 0, 0}) +
                           Hex(0x04, 0, {0x00, 0x00}) + "\r\n:03F00000aabbccdc\r\n" + kEnd +
                           "garbage after the end\n";
  ASSERT_TRUE(Build(file, "image.mhx"));  // the name plays no part
  EXPECT_EQ(flash[0xC000], 1);
  EXPECT_EQ(flash[0xC001], 9);  // segment 0x0C00 * 16 + 1, written later
  EXPECT_EQ(flash[0xC002], 3);
  EXPECT_EQ(flash[0xF000], 0xAA);
  EXPECT_EQ(flash[0xF002], 0xCC);
  EXPECT_EQ(result.dataBytes, 7u);
}

TEST_F(FlashBufferTest, IntelHexErrorsNameTheirLine) {
  struct Case {
    const char* what;
    std::string text;
    const char* message;
  };
  const std::string data = Hex(0x00, 0xC000, {1, 2});
  const Case cases[] = {
      {"not a hexadecimal digit", data + ":02C0100001G2\n" + kEnd, "decode error in 2"},
      {"odd length", data + data.substr(0, data.size() - 2) + "\n" + kEnd, "decode error in 2"},
      {"wrong byte count", data + ":03C0000001022B\n" + kEnd, "decode error in 2"},
      {"wrong checksum", data + Hex(0x00, 0xC010, {1}, 1) + kEnd, "checksum error in 2"},
      {"unknown type", data + Hex(0x06, 0, {1}) + kEnd, "decode error in 2"},
      {"extended address of the wrong size", Hex(0x04, 0, {0}) + kEnd, "decode error in 1"},
      {"a line that is no record", data + "S1040000FB\n" + kEnd, "decode error in 2"},
      {"missing end record", data + "\n" + data, "no end record (decode error in 4)"},
      {"below the area", "\n\n" + Hex(0x00, 0xBFFF, {1, 2}) + kEnd, "address error in 3"},
      {"above the area", Hex(0x00, 0xFFFF, {1, 2}) + kEnd, "address error in 1"},
      {"above through a linear address", Hex(0x04, 0, {0x00, 0x01}) + data + kEnd,
       "address error in 2"},
      {"a blank inside", data + ":02C01000 01020B\n" + kEnd, "decode error in 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(Build(c.text));
    EXPECT_EQ(Message(), c.message);
  }
}

}  // namespace
}  // namespace otp
