#include <gtest/gtest.h>

#include "hexfile/SRecord.h"
#include "tests/support/SRecords.h"

namespace otp {
namespace {

using test::Record;

struct Case {
  const char* what;
  std::string line;
  int result;                 // 0: rejected
  std::uint32_t address = 0;  // when accepted
  int offset = 0;
};

std::vector<std::uint8_t> Bytes(std::size_t count, std::uint8_t first = 0) {
  std::vector<std::uint8_t> data(count);
  for (std::size_t i = 0; i < count; ++i)
    data[i] = static_cast<std::uint8_t>(first + i);
  return data;
}

TEST(DecodeSRecord, AcceptsAndRejectsByTheRules) {
  const std::string full = Record('3', 0x0000C000, Bytes(250));  // 256 pairs, count 0xFF
  const Case cases[] = {
      {"S1 with one data byte", "S104C0001229", 1, 0xC000, 3},
      {"position 0 is not looked at", "s104C0001229", 1, 0xC000, 3},
      {"lower-case digit", "S104c0001229", 0},
      {"blank between pairs", "S104C000 1229", 0},
      {"carriage return left at the end", "S104C0001229\r", 0},
      {"count one too great", "S105C0001228", 0},
      {"count one too small", "S103C0001229", 0},
      {"S1 without data", "S103C0003C", 0},
      {"S2 without data", "S20400C0003B", 0},
      {"S3 without data", "S3050000C0003A", 0},
      {"smallest S2", "S20500C000AB8F", 1, 0xC000, 4},
      {"smallest S3", "S3060000C000AB8E", 1, 0xC000, 5},
      {"256 pairs with count 0xFF", full, 250, 0xC000, 5},
      {"S1 of 256 pairs: 252 data bytes", Record('1', 0xC000, Bytes(252)), 252, 0xC000, 3},
      {"digits after the 256th pair are ignored", full + "ABCD0", 250, 0xC000, 5},
      {"a bad character after the 256th pair still rejects", full + "AB g", 0},
      {"one extra digit at the end is ignored", "S104C00012290", 1, 0xC000, 3},
      {"two extra digits make a pair", "S104C000122900", 0},
      {"sum 0x00 instead of 0xFF", "S104C000122A", 0},
      {"S3 address with the top bit set", "S3068000C000AB0E", 1, 0x8000C000u, 5},
      {"nothing after the type", "S1", 0},
      {"only an S", "S", 0},
      {"empty line", "", 0},
      {"type 4", "S404C0001229", 0},
      {"termination record", "S9030000FC", 0},
      {"byte above 0x7F", "S104C000\xC3\xA9", 0},
      {"NUL inside the line",
       std::string("S104C000\0"
                   "1229",
                   13),
       0},
      {"S1 with several bytes", Record('1', 0xFFF0, Bytes(16, 0x40)), 16, 0xFFF0, 3},
      {"S2 with a 24-bit address", Record('2', 0x12C000, Bytes(3)), 3, 0x12C000, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::array<std::uint8_t, 256> bytes{};
    std::uint32_t address = 0xDEADBEEF;
    int offset = -7;
    const int result = DecodeSRecord(c.line, bytes, address, offset);
    EXPECT_EQ(result, c.result);
    if (c.result > 0) {
      EXPECT_EQ(address, c.address);
      EXPECT_EQ(offset, c.offset);
    } else {
      EXPECT_EQ(address, 0xDEADBEEF);  // outputs untouched by a rejection
      EXPECT_EQ(offset, -7);
    }
  }
}

TEST(DecodeSRecord, DataBytesFollowTheAddress) {
  std::array<std::uint8_t, 256> bytes{};
  std::uint32_t address = 0;
  int offset = 0;
  ASSERT_EQ(DecodeSRecord(Record('2', 0x00C010, {0x01, 0xFE, 0x80}), bytes, address, offset), 3);
  EXPECT_EQ(bytes[offset], 0x01);
  EXPECT_EQ(bytes[offset + 1], 0xFE);
  EXPECT_EQ(bytes[offset + 2], 0x80);
}

TEST(DecodeSRecord, HelperBuildsWhatTheFormatSays) {
  // The helper that builds the other lines gives the well-known line.
  EXPECT_EQ(Record('1', 0xC000, {0x12}), "S104C0001229");
  EXPECT_EQ(Record('3', 0x8000C000, {0xAB}), "S3068000C000AB0E");
}

}  // namespace
}  // namespace otp
