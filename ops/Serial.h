#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hexfile/FlashBuffer.h"

namespace otp {

/// Where and how a unit's serial number goes into the image.
struct SerialRule {
  enum class Format { kLe16, kBe16, kLe32, kBe32, kBcd, kAscii };
  std::uint32_t address = 0;
  Format format = Format::kLe16;
  int digits = 0;  // kBcd and kAscii: decimal digits

  /// Bytes the number takes in the image.
  std::size_t Width() const;
  /// The rule as it was written: "0xFFF0:bcd:8".
  std::string Text() const;
};

/// Parses "ADDR:FORMAT": FORMAT is le16, be16, le32, be32, bcd:N or ascii:N (N from 1 to
/// 20 digits). Nothing, with `error` set, for anything else.
std::optional<SerialRule> ParseSerialRule(std::string_view text, std::string& error);

/// The bytes of `number` under `rule`; nothing when it does not fit the format.
std::optional<std::vector<std::uint8_t>> EncodeSerial(const SerialRule& rule, std::uint64_t number);

/// Why the serial number cannot go into `image` under `rule`: its bytes must lie inside
/// `start`..`end` on bytes that the image leaves 0xFF. Empty when it can.
std::string SerialPlacementError(const SerialRule& rule, const FlashImage& image,
                                 std::uint32_t start, std::uint32_t end);

}  // namespace otp
