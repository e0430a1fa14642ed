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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.rule) + " " + std::to_string(c.number));
    std::string error;
    const auto rule = ParseSerialRule(c.rule, error);
    ASSERT_TRUE(rule) << error;
    EXPECT_EQ(rule->address, 0xFFF0u);
    EXPECT_EQ(EncodeSerial(*rule, c.number), c.bytes);
  }
  for (const char* bad : {"FFF0:le16", "0xFFF0", "0xFFF0:le24", "0xFFF0:bcd", "0xFFF0:bcd:0",
                          "0xFFF0:ascii:x", "0xFFF0:bcd:20", "0xZZ:le16"}) {
    SCOPED_TRACE(bad);
    std::string error;
    EXPECT_FALSE(ParseSerialRule(bad, error));
    EXPECT_FALSE(error.empty());
  }
}

TEST(Serial, BytesMustFallOnBlankBytesOfTheArea) {
  FlashImage image;
  image.fill(0xFF);
  image[0xC010] = 0x00;
  struct Case {
    const char* rule;
    const char* error;  // a part of it, or "" for none
  };
  const Case cases[] = {
      {"0xFFFE:le16", ""},
      {"0xFFFF:le16", "leave the OTP area"},
      {"0xBFFF:le16", "leave the OTP area"},
      {"0xC00E:le32", "holds 0x00 at 0xC010"},
      {"0xC011:ascii:4", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    std::string error;
    const auto rule = ParseSerialRule(c.rule, error);
    ASSERT_TRUE(rule);
    const std::string why = SerialPlacementError(*rule, image, 0xC000, 0xFFFF);
    if (*c.error == '\0') {
      EXPECT_EQ(why, "");
    } else {
      EXPECT_NE(why.find(c.error), std::string::npos) << why;
    }
  }
}

}  // namespace
}  // namespace otp
