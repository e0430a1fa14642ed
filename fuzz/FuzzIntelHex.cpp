// libFuzzer target: Intel HEX files through the image builder.
//
// Besides the sanitizers' checks, it compares the builder with a plain reading written
// from the format's rules: both must stop at the same line for the same reason and build
// the same image, and nothing outside the area is ever written.

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/PlainLines.h"
#include "hexfile/FlashBuffer.h"

namespace {

using otp::FlashImage;
using otp::ImageError;
using otp::ImageResult;

constexpr std::uint32_t kStart = 0xC000;
constexpr std::uint32_t kEnd = 0xFFFF;

int Digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

ImageResult Plain(std::string_view text, FlashImage& flash) {
  const std::vector<std::string_view> lines = otp::fuzz::PlainLines(text);
  ImageResult result;
  auto stop = [&](ImageError error) {
    result.error = error;
    return result;
  };
  std::uint64_t base = 0;
  for (std::size_t i = 0;; ++i) {
    ++result.line;
    if (i == lines.size()) return stop(ImageError::kNoEndRecord);
    const std::string_view line = lines[i];
    if (line.empty()) continue;
    if (line[0] != ':' || line.size() % 2 == 0) return stop(ImageError::kBadRecord);
    std::vector<std::uint8_t> bytes;
    for (std::size_t k = 1; k < line.size(); k += 2) {
      const int high = Digit(line[k]);
      const int low = Digit(line[k + 1]);
      if (high < 0 || low < 0) return stop(ImageError::kBadRecord);
      bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    unsigned sum = 0;
    for (const auto b : bytes)
      sum += b;
    if (bytes.size() < 5 || bytes[0] + 5u != bytes.size()) return stop(ImageError::kBadRecord);
    if (sum % 256 != 0) return stop(ImageError::kChecksum);
    const std::size_t count = bytes[0];
    const unsigned offset = bytes[1] * 256u + bytes[2];
    switch (bytes[3]) {
      case 0: {
        const std::uint64_t address = base + offset;
        if (address < kStart) return stop(ImageError::kBelowArea);
        if (address + count - 1 > kEnd) return stop(ImageError::kAboveArea);
        for (std::size_t k = 0; k < count; ++k)
          flash[address + k] = bytes[4 + k];
        break;
      }
      case 1:
        if (count != 0) return stop(ImageError::kBadRecord);
        ++result.line;
        return result;
      case 2:
      case 4:
        if (count != 2) return stop(ImageError::kBadRecord);
        base = std::uint64_t{bytes[4] * 256u + bytes[5]} << (bytes[3] == 2 ? 4 : 16);
        break;
      case 3:
      case 5:
        if (count != 4) return stop(ImageError::kBadRecord);
        break;
      default:
        return stop(ImageError::kBadRecord);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (!otp::fuzz::LooksLikeIntelHex(otp::fuzz::PlainLines(text))) return 0;
  otp::fuzz::CompareWithPlain(text, kStart, kEnd, Plain);
  return 0;
}
