#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/Crc.h"
#include "hexfile/FlashBuffer.h"

namespace otp {

/// What a file of the OTP area holds, as a summary to check a build by.
struct ImageSummary {
  int lines = 0;                         // lines read
  std::size_t dataBytes = 0;             // addresses of the area written by records
  int nonBlankBlocks = 0;                // 256-byte blocks of the area not all 0xFF
  std::optional<std::uint32_t> lowest;   // first address written
  std::optional<std::uint32_t> highest;  // last address written
  std::uint32_t crc32 = 0;               // CRC-32 (IEEE) of the area, 0xFF where unwritten
  std::uint8_t sum = 0;                  // 8-bit sum of the area
};

/// Sums up a successful load of `start`..`end`.
ImageSummary Summarize(const ImageResult& result, const ImageCoverage& coverage,
                       const FlashImage& image, std::uint32_t start, std::uint32_t end);

/// The format that a file name asks for: ".hex" and ".ihx" Intel HEX, ".bin" binary,
/// anything else S-record.
ImageFormat FormatForFileName(std::string_view name);
/// "srec", "ihex" or "bin"; nothing for another name.
std::optional<ImageFormat> FormatNamed(std::string_view name);

/// The file contents for the image of `start`..`end`: S-record (S0 header, S1 records of
/// 32 bytes, S9), Intel HEX (data records of 32 bytes, an extended linear address record
/// only where the upper 16 bits change, end-of-file record) or the raw bytes. With
/// `skipBlank`, records whose bytes are all 0xFF are left out (binary keeps every byte).
std::string FormatImage(const FlashImage& image, std::uint32_t start, std::uint32_t end,
                        ImageFormat format, bool skipBlank);

}  // namespace otp
