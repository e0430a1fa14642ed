#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chip/ChipTable.h"
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

/// An address as the operator writes it: "0xFFF0", "FFF0H" (as the tool shows addresses)
/// or decimal. Nothing for anything else or above 0xFFFFFFFF.
std::optional<std::uint32_t> ParseAddress(std::string_view text);

/// Why a serial rule could not be read.
enum class SerialRuleError { kNone, kNoFormat, kBadAddress, kBadFormat, kBadDigits };

/// Parses "ADDR:FORMAT": FORMAT is le16, be16, le32, be32, bcd:N or ascii:N (N from 1 to
/// 19 digits). Nothing, with `error` set, for anything else.
std::optional<SerialRule> ParseSerialRule(std::string_view text, SerialRuleError& error);

/// Why a serial number cannot go into an image.
struct SerialPlacement {
  enum class Problem { kNone, kOutsideArea, kOnImage };
  Problem problem = Problem::kNone;
  std::uint32_t first = 0;  // kOutsideArea: the number's bytes; kOnImage: the byte taken
  std::uint64_t last = 0;
  std::uint8_t value = 0;  // kOnImage: what the image holds there
};

/// Why a serial rule cannot be used with an image on a model.
struct SerialRuleProblem {
  enum class Kind {
    kNone,
    kPlace,  // its bytes cannot go where it puts them (`placement`)
    kStart,  // the first number does not fit it (`first`)
  };
  Kind kind = Kind::kNone;
  SerialPlacement placement;
  std::uint64_t first = 0;
  std::string rule;  // as it was written
};

/// Why `rule` cannot be used with `image` on `model`: its bytes must lie in the OTP area on
/// bytes the image leaves blank, and `first` must fit it. kNone when it can.
SerialRuleProblem CheckSerialRule(const SerialRule& rule, std::uint64_t first,
                                  const FlashImage& image, const ChipRow& model);

/// The largest number `rule` can hold (and below 2^63, the store's limit).
std::uint64_t LargestNumber(const SerialRule& rule);

/// The bytes of `number` under `rule`; nothing when it does not fit the format.
std::optional<std::vector<std::uint8_t>> EncodeSerial(const SerialRule& rule, std::uint64_t number);

/// Whether the serial number can go into `image` under `rule`: its bytes must lie inside
/// `start`..`end` on bytes that the image leaves 0xFF.
SerialPlacement CheckSerialPlacement(const SerialRule& rule, const FlashImage& image,
                                     std::uint32_t start, std::uint32_t end);

}  // namespace otp
