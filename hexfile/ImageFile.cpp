#include "hexfile/ImageFile.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <vector>

namespace otp {

namespace {

constexpr std::size_t kRecordBytes = 32;

void AppendHex(std::string& out, std::uint8_t byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out.push_back(kDigits[byte >> 4]);
  out.push_back(kDigits[byte & 0x0F]);
}

// One record line: the prefix, then each byte in hex, then the checksum in hex.
template <typename Sum>
void AppendRecord(std::string& out, const char* prefix, const std::vector<std::uint8_t>& bytes,
                  Sum checksum) {
  out += prefix;
  unsigned sum = 0;
  for (const std::uint8_t byte : bytes) {
    AppendHex(out, byte);
    sum += byte;
  }
  AppendHex(out, checksum(sum));
  out += '\n';
}

bool AllBlank(const std::uint8_t* data, std::size_t size) {
  return std::all_of(data, data + size, [](std::uint8_t b) { return b == 0xFF; });
}

}  // namespace

ImageSummary Summarize(const ImageResult& result, const ImageCoverage& coverage,
                       const FlashImage& image, std::uint32_t start, std::uint32_t end) {
  ImageSummary summary;
  summary.lines = result.line - 1;  // the counter stands on the line after the last one
  for (std::uint32_t a = start; a <= end; ++a) {
    if (!coverage[a]) continue;
    ++summary.dataBytes;
    if (!summary.lowest) summary.lowest = a;
    summary.highest = a;
  }
  for (std::uint32_t block = start; block <= end; block += 256) {
    if (!AllBlank(&image[block], std::min<std::uint32_t>(256, end - block + 1))) {
      ++summary.nonBlankBlocks;
    }
  }
  summary.crc32 = Crc32(&image[start], end - start + 1);
  unsigned sum = 0;
  for (std::uint32_t a = start; a <= end; ++a)
    sum += image[a];
  summary.sum = static_cast<std::uint8_t>(sum);
  return summary;
}

ImageFormat FormatForFileName(std::string_view name) {
  const auto dot = name.find_last_of('.');
  const auto slash = name.find_last_of("/\\");
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) {
    return ImageFormat::kSRecord;
  }
  std::string extension(name.substr(dot + 1));
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension == "hex" || extension == "ihx") return ImageFormat::kIntelHex;
  if (extension == "bin") return ImageFormat::kBinary;
  return ImageFormat::kSRecord;
}

std::optional<ImageFormat> FormatNamed(std::string_view name) {
  if (name == "srec") return ImageFormat::kSRecord;
  if (name == "ihex") return ImageFormat::kIntelHex;
  if (name == "bin") return ImageFormat::kBinary;
  return std::nullopt;
}

std::string FormatImage(const FlashImage& image, std::uint32_t start, std::uint32_t end,
                        ImageFormat format, bool skipBlank) {
  std::string out;
  if (format == ImageFormat::kBinary) {
    out.assign(reinterpret_cast<const char*>(&image[start]), end - start + 1);
    return out;
  }
  const auto srecSum = [](unsigned sum) { return static_cast<std::uint8_t>(~sum); };
  const auto ihexSum = [](unsigned sum) { return static_cast<std::uint8_t>(-sum); };
  if (format == ImageFormat::kSRecord) {
    AppendRecord(out, "S0", {0x06, 0x00, 0x00, 'O', 'T', 'P'}, srecSum);
  }
  std::optional<std::uint32_t> upper;  // the upper 16 bits an Intel HEX reader holds
  for (std::uint32_t a = start; a <= end; a += kRecordBytes) {
    const std::size_t count = std::min<std::size_t>(kRecordBytes, end - a + 1);
    if (skipBlank && AllBlank(&image[a], count)) continue;
    std::vector<std::uint8_t> bytes;
    if (format == ImageFormat::kSRecord) {
      bytes = {static_cast<std::uint8_t>(count + 3), static_cast<std::uint8_t>(a >> 8),
               static_cast<std::uint8_t>(a)};
      bytes.insert(bytes.end(), &image[a], &image[a] + count);
      AppendRecord(out, "S1", bytes, srecSum);
      continue;
    }
    if (upper.value_or(0) != (a >> 16)) {
      upper = a >> 16;
      AppendRecord(out, ":",
                   {0x02, 0x00, 0x00, 0x04, static_cast<std::uint8_t>(a >> 24),
                    static_cast<std::uint8_t>(a >> 16)},
                   ihexSum);
    }
    bytes = {static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(a >> 8),
             static_cast<std::uint8_t>(a), 0x00};
    bytes.insert(bytes.end(), &image[a], &image[a] + count);
    AppendRecord(out, ":", bytes, ihexSum);
  }
  if (format == ImageFormat::kSRecord) {
    AppendRecord(out, "S9", {0x03, 0x00, 0x00}, srecSum);
  } else {
    out += ":00000001FF\n";
  }
  return out;
}

}  // namespace otp
