#include "ops/Serial.h"

#include <charconv>
#include <cstdio>

namespace otp {

namespace {

std::uint64_t PowerOfTen(int digits) {
  std::uint64_t value = 1;
  for (int i = 0; i < digits; ++i)
    value *= 10;
  return value;
}

}  // namespace

std::size_t SerialRule::Width() const {
  switch (format) {
    case Format::kLe16:
    case Format::kBe16:
      return 2;
    case Format::kLe32:
    case Format::kBe32:
      return 4;
    case Format::kBcd:
      return static_cast<std::size_t>(digits + 1) / 2;
    case Format::kAscii:
      return static_cast<std::size_t>(digits);
  }
  return 0;
}

std::string SerialRule::Text() const {
  static constexpr const char* kNames[] = {"le16", "be16", "le32", "be32", "bcd", "ascii"};
  char text[48];
  const auto name = kNames[static_cast<int>(format)];
  if (format == Format::kBcd || format == Format::kAscii) {
    std::snprintf(text, sizeof(text), "0x%04X:%s:%d", static_cast<unsigned>(address), name, digits);
  } else {
    std::snprintf(text, sizeof(text), "0x%04X:%s", static_cast<unsigned>(address), name);
  }
  return text;
}

std::optional<SerialRule> ParseSerialRule(std::string_view text, std::string& error) {
  auto fail = [&](const std::string& why) -> std::optional<SerialRule> {
    error = "--serial " + std::string(text) + ": " + why;
    return std::nullopt;
  };
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return fail("expected ADDR:FORMAT");
  std::string_view address = text.substr(0, colon);
  std::string_view format = text.substr(colon + 1);
  int base = 10;
  if (address.size() > 2 && address[0] == '0' && (address[1] == 'x' || address[1] == 'X')) {
    address.remove_prefix(2);
    base = 16;
  }
  SerialRule rule;
  const auto [end, fault] =
      std::from_chars(address.data(), address.data() + address.size(), rule.address, base);
  if (fault != std::errc() || end != address.data() + address.size() || address.empty()) {
    return fail("bad address");
  }
  struct Name {
    std::string_view name;
    SerialRule::Format format;
  };
  static constexpr Name kFixed[] = {{"le16", SerialRule::Format::kLe16},
                                    {"be16", SerialRule::Format::kBe16},
                                    {"le32", SerialRule::Format::kLe32},
                                    {"be32", SerialRule::Format::kBe32}};
  for (const Name& name : kFixed) {
    if (format == name.name) {
      rule.format = name.format;
      return rule;
    }
  }
  const auto digitsColon = format.find(':');
  const std::string_view kind = format.substr(0, digitsColon);
  if (digitsColon == std::string_view::npos || (kind != "bcd" && kind != "ascii")) {
    return fail("FORMAT is le16, be16, le32, be32, bcd:N or ascii:N");
  }
  rule.format = kind == "bcd" ? SerialRule::Format::kBcd : SerialRule::Format::kAscii;
  const std::string_view digits = format.substr(digitsColon + 1);
  const auto [last, bad] =
      std::from_chars(digits.data(), digits.data() + digits.size(), rule.digits);
  if (bad != std::errc() || last != digits.data() + digits.size() || rule.digits < 1 ||
      rule.digits > 19) {
    return fail("N is a number of digits from 1 to 19");
  }
  return rule;
}

std::optional<std::vector<std::uint8_t>> EncodeSerial(const SerialRule& rule,
                                                      std::uint64_t number) {
  std::vector<std::uint8_t> bytes(rule.Width());
  switch (rule.format) {
    case SerialRule::Format::kLe16:
    case SerialRule::Format::kBe16:
    case SerialRule::Format::kLe32:
    case SerialRule::Format::kBe32: {
      if (bytes.size() < 8 && number >> (8 * bytes.size()) != 0) return std::nullopt;
      const bool little =
          rule.format == SerialRule::Format::kLe16 || rule.format == SerialRule::Format::kLe32;
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<std::uint8_t>(number >> (8 * i));
        bytes[little ? i : bytes.size() - 1 - i] = byte;
      }
      return bytes;
    }
    case SerialRule::Format::kBcd:
    case SerialRule::Format::kAscii: {
      if (number >= PowerOfTen(rule.digits)) return std::nullopt;
      // Decimal digits, most significant first, zero-padded to the rule's count.
      std::vector<std::uint8_t> digits(static_cast<std::size_t>(rule.digits));
      for (std::size_t i = digits.size(); i-- > 0; number /= 10)
        digits[i] = static_cast<std::uint8_t>(number % 10);
      if (rule.format == SerialRule::Format::kAscii) {
        for (std::size_t i = 0; i < digits.size(); ++i)
          bytes[i] = static_cast<std::uint8_t>('0' + digits[i]);
        return bytes;
      }
      // Packed: two digits a byte; an odd count leaves the first high nibble 0.
      if (digits.size() % 2) digits.insert(digits.begin(), 0);
      for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(digits[2 * i] << 4 | digits[2 * i + 1]);
      return bytes;
    }
  }
  return std::nullopt;
}

std::string SerialPlacementError(const SerialRule& rule, const FlashImage& image,
                                 std::uint32_t start, std::uint32_t end) {
  const std::uint64_t last = std::uint64_t{rule.address} + rule.Width() - 1;
  char text[128];
  if (rule.address < start || last > end) {
    std::snprintf(text, sizeof(text), "the serial number's bytes 0x%X-0x%llX leave the OTP area",
                  static_cast<unsigned>(rule.address), static_cast<unsigned long long>(last));
    return text;
  }
  for (std::uint32_t a = rule.address; a <= last; ++a) {
    if (image[a] != 0xFF) {
      std::snprintf(text, sizeof(text),
                    "the image already holds 0x%02X at 0x%04X, where the serial number goes",
                    image[a], static_cast<unsigned>(a));
      return text;
    }
  }
  return {};
}

}  // namespace otp
