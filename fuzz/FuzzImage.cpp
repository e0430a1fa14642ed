// libFuzzer target: the image builder on arbitrary file contents.
//
// Besides the sanitizers' checks, it compares the S-record builder, which holds at most the head of
// a line in memory, with a plain reading that takes every line whole: both must stop at
// the same line for the same reason and build the same image.

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>

#include "fuzz/PlainLines.h"
#include "hexfile/FlashBuffer.h"
#include "hexfile/SRecord.h"

namespace {

using otp::FlashImage;
using otp::ImageError;
using otp::ImageResult;

constexpr std::uint32_t kStart = 0xC000;
constexpr std::uint32_t kEnd = 0xFFFF;

// S-record lines taken whole.
ImageResult Plain(std::string_view text, FlashImage& flash) {
  const std::vector<std::string_view> lines = otp::fuzz::PlainLines(text);
  ImageResult result;
  for (std::size_t i = 0;; ++i) {
    ++result.line;
    if (i == lines.size()) return result;
    const std::string_view line = lines[i];
    if (line.empty()) continue;
    auto stop = [&](ImageError error) {
      result.error = error;
      return result;
    };
    if (line[0] != 'S') return stop(ImageError::kNotARecord);
    const char type = line.size() > 1 ? line[1] : '\0';
    if (type == '0' || type == '5' || type == '7' || type == '8' || type == '9') continue;
    if (type != '1' && type != '2' && type != '3') return stop(ImageError::kUnknownType);
    std::array<std::uint8_t, 256> bytes{};
    std::uint32_t address = 0;
    int offset = 0;
    const int count = otp::DecodeSRecord(line, bytes, address, offset);
    if (count == 0) return stop(ImageError::kBadRecord);
    if (address < kStart) return stop(ImageError::kBelowArea);
    if (std::uint64_t{address} + static_cast<std::uint64_t>(count) - 1 > kEnd) {
      return stop(ImageError::kAboveArea);
    }
    for (int k = 0; k < count; ++k)
      flash[address + k] = bytes[offset + k];
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // Intel HEX files have a target of their own.
  if (otp::fuzz::LooksLikeIntelHex(otp::fuzz::PlainLines(text))) return 0;
  otp::fuzz::CompareWithPlain(text, kStart, kEnd, Plain);
  return 0;
}
