#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "hexfile/FlashBuffer.h"
#include "tests/support/Process.h"
#include "tests/support/SRecords.h"
#include "tests/support/TempDir.h"

namespace otp {
namespace {

constexpr const char* kSrecCat = "/usr/bin/srec_cat";

// An Intel HEX line of `type`.
std::string HexLine(std::uint8_t type, std::uint16_t offset,
                    const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(data.size()),
                                  static_cast<std::uint8_t>(offset >> 8),
                                  static_cast<std::uint8_t>(offset), type};
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  std::string line = ":";
  char hex[3];
  for (const auto b : bytes) {
    std::snprintf(hex, sizeof(hex), "%02X", b);
    line += hex;
    sum += b;
  }
  std::snprintf(hex, sizeof(hex), "%02X", static_cast<std::uint8_t>(-sum));
  return line + hex + "\n";
}

std::vector<std::uint8_t> Bytes(std::mt19937& random, std::size_t count) {
  std::vector<std::uint8_t> data(count);
  for (auto& b : data)
    b = static_cast<std::uint8_t>(random());
  return data;
}

// The image as srec_cat builds it from the same file: the OTP area, 0xFF where nothing
// was written, later records over earlier ones.
std::vector<std::uint8_t> Reference(const test::TempDir& dir, const std::string& file,
                                    const char* format) {
  const std::string out = (dir / "reference.bin").string();
  test::Process process(
      kSrecCat, {"-multiple", file, format, "-fill", "0xFF", "0xC000", "0x10000", "-crop", "0xC000",
                 "0x10000", "-offset", "-0xC000", "-o", out, "-binary"});
  EXPECT_EQ(process.Wait(), 0) << process.Errors();
  const std::string bytes = test::TempDir::ReadFile(out);
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

// Our image equals srec_cat's for files of several shapes in both formats.
TEST(SrecCatReference, ImagesAgree) {
  if (!std::filesystem::exists(kSrecCat)) GTEST_SKIP() << "srec_cat is not installed";
  test::TempDir dir;
  std::mt19937 random(7);
  struct Shape {
    const char* what;
    const char* format;
    std::function<std::string()> text;
  };
  const Shape shapes[] = {
      {"S1 records in order", "-motorola",
       [&] {
         std::string text = "S00600004844521B\n";
         for (std::uint32_t a = 0xC000; a < 0xD000; a += 32)
           text += test::Record('1', a, Bytes(random, 32)) + "\n";
         return text + "S9030000FC\n";
       }},
      {"S2 and S3 records", "-motorola",
       [&] {
         std::string text;
         for (std::uint32_t a = 0xD000; a < 0xE000; a += 48)
           text += test::Record(a % 96 ? '2' : '3', a, Bytes(random, 48)) + "\n";
         return text;
       }},
      {"records in descending order", "-motorola",
       [&] {
         std::string text;
         for (std::uint32_t a = 0xFFE0; a >= 0xF000; a -= 32)
           text += test::Record('1', a, Bytes(random, 32)) + "\n";
         return text;
       }},
      {"overlapping records", "-motorola",
       [&] {
         std::string text;
         for (int i = 0; i < 200; ++i) {
           const std::uint32_t a = 0xC000 + static_cast<std::uint32_t>(random() % 0x3F00);
           text += test::Record('1', a, Bytes(random, 1 + random() % 64)) + "\n";
         }
         return text;
       }},
      {"Intel HEX with linear and segment addresses", "-intel",
       [&] {
         std::string text = HexLine(0x04, 0, {0x00, 0x00});
         for (std::uint32_t a = 0xC000; a < 0xC800; a += 32)
           text += HexLine(0x00, static_cast<std::uint16_t>(a), Bytes(random, 32));
         text += HexLine(0x02, 0, {0x0F, 0x00});  // 0xF000
         for (std::uint16_t a = 0x0FE0;; a -= 32) {
           text += HexLine(0x00, a, Bytes(random, 32));
           if (a == 0) break;
         }
         text += HexLine(0x04, 0, {0x00, 0x00});
         for (int i = 0; i < 100; ++i) {
           const auto a = static_cast<std::uint16_t>(0xC000 + random() % 0x3F00);
           text += HexLine(0x00, a, Bytes(random, 1 + random() % 32));
         }
         return text + ":00000001FF\n";
       }},
  };
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(shape.what);
    const std::string file = dir.Write("image.txt", shape.text()).string();
    FlashImage image;
    const ImageResult result = LoadImageFile(file, 0xC000, 0xFFFF, image);
    ASSERT_EQ(result.error, ImageError::kNone) << ImageErrorText(result);
    const std::vector<std::uint8_t> ours(image.begin() + 0xC000, image.end());
    EXPECT_EQ(ours, Reference(dir, file, shape.format));
  }
}

}  // namespace
}  // namespace otp
