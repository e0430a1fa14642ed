#include <gtest/gtest.h>

#include "ops/Serial.h"

namespace otp {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Serial, FormatsEncodeOrRefuse) {
  struct Case {
    const char* rule;
    std::uint64_t number;
    std::optional<Bytes> bytes;  // nothing: the number does not fit
  };
  const Case cases[] = {
      {"0xFFF0:le16", 0x1234, Bytes{0x34, 0x12}},
      {"0xFFF0:be16", 0x1234, Bytes{0x12, 0x34}},
      {"0xFFF0:le16", 65535, Bytes{0xFF, 0xFF}},
      {"0xFFF0:le16", 65536, std::nullopt},
      {"0xFFF0:le32", 0x01020304, Bytes{0x04, 0x03, 0x02, 0x01}},
      {"0xFFF0:be32", 0x01020304, Bytes{0x01, 0x02, 0x03, 0x04}},
      {"0xFFF0:be32", 0x100000000, std::nullopt},
      {"0xFFF0:bcd:8", 12345678, Bytes{0x12, 0x34, 0x56, 0x78}},
      {"0xFFF0:bcd:5", 12345, Bytes{0x01, 0x23, 0x45}},
      {"0xFFF0:bcd:4", 7, Bytes{0x00, 0x07}},
      {"0xFFF0:bcd:4", 10000, std::nullopt},
      {"65520:ascii:6", 42, Bytes{'0', '0', '0', '0', '4', '2'}},
      {"65520:ascii:2", 100, std::nullopt},
      {"FFF0H:be16", 0x1234, Bytes{0x12, 0x34}},  // as the tool shows addresses
      {"0xfff0:le16", 1, Bytes{0x01, 0x00}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.rule) + " " + std::to_string(c.number));
    SerialRuleError error{};
    const auto rule = ParseSerialRule(c.rule, error);
    ASSERT_TRUE(rule) << static_cast<int>(error);
    EXPECT_EQ(rule->address, 0xFFF0u);
    EXPECT_EQ(EncodeSerial(*rule, c.number), c.bytes);
  }
  const std::pair<const char*, SerialRuleError> bad[] = {
      {"FFF0:le16", SerialRuleError::kBadAddress},
      {"0xFFF0", SerialRuleError::kNoFormat},
      {"0xFFF0:le24", SerialRuleError::kBadFormat},
      {"0xFFF0:bcd", SerialRuleError::kBadFormat},
      {"0xFFF0:bcd:0", SerialRuleError::kBadDigits},
      {"0xFFF0:ascii:x", SerialRuleError::kBadDigits},
      {"0xFFF0:bcd:20", SerialRuleError::kBadDigits},
      {"0xZZ:le16", SerialRuleError::kBadAddress},
      {"H:le16", SerialRuleError::kBadAddress},
      {"0x1FFFFFFFF:le16", SerialRuleError::kBadAddress},
  };
  for (const auto& [text, why] : bad) {
    SCOPED_TRACE(text);
    SerialRuleError error{};
    EXPECT_FALSE(ParseSerialRule(text, error));
    EXPECT_EQ(error, why);
  }
}

TEST(Serial, BytesMustFallOnBlankBytesOfTheArea) {
  FlashImage image;
  image.fill(0xFF);
  image[0xC010] = 0x00;
  using Problem = SerialPlacement::Problem;
  struct Case {
    const char* rule;
    Problem problem;
    std::uint32_t first;
  };
  const Case cases[] = {
      {"0xFFFE:le16", Problem::kNone, 0},
      {"0xFFFF:le16", Problem::kOutsideArea, 0xFFFF},
      {"0xBFFF:le16", Problem::kOutsideArea, 0xBFFF},
      {"0xC00E:le32", Problem::kOnImage, 0xC010},
      {"0xC011:ascii:4", Problem::kNone, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    SerialRuleError error{};
    const auto rule = ParseSerialRule(c.rule, error);
    ASSERT_TRUE(rule);
    const SerialPlacement placement = CheckSerialPlacement(*rule, image, 0xC000, 0xFFFF);
    EXPECT_EQ(placement.problem, c.problem);
    if (c.problem != Problem::kNone) {
      EXPECT_EQ(placement.first, c.first);
    }
  }
}

}  // namespace
}  // namespace otp
