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

std::optional<std::uint32_t> ParseAddress(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  } else if (text.size() > 1 && (text.back() == 'H' || text.back() == 'h')) {
    text.remove_suffix(1);
    base = 16;
  }
  std::uint32_t value = 0;
  const auto [end, fault] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || fault != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::optional<SerialRule> ParseSerialRule(std::string_view text, SerialRuleError& error) {
  auto fail = [&](SerialRuleError why) -> std::optional<SerialRule> {
    error = why;
    return std::nullopt;
  };
  error = SerialRuleError::kNone;
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return fail(SerialRuleError::kNoFormat);
  const std::string_view format = text.substr(colon + 1);
  SerialRule rule;
  const auto address = ParseAddress(text.substr(0, colon));
  if (!address) return fail(SerialRuleError::kBadAddress);
  rule.address = *address;
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
    return fail(SerialRuleError::kBadFormat);
  }
  rule.format = kind == "bcd" ? SerialRule::Format::kBcd : SerialRule::Format::kAscii;
  const std::string_view digits = format.substr(digitsColon + 1);
  const auto [last, bad] =
      std::from_chars(digits.data(), digits.data() + digits.size(), rule.digits);
  if (bad != std::errc() || last != digits.data() + digits.size() || rule.digits < 1 ||
      rule.digits > 19) {
    return fail(SerialRuleError::kBadDigits);
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

SerialPlacement CheckSerialPlacement(const SerialRule& rule, const FlashImage& image,
                                     std::uint32_t start, std::uint32_t end) {
  SerialPlacement placement;
  const std::uint64_t last = std::uint64_t{rule.address} + rule.Width() - 1;
  if (rule.address < start || last > end) {
    placement.problem = SerialPlacement::Problem::kOutsideArea;
    placement.first = rule.address;
    placement.last = last;
    return placement;
  }
  for (std::uint32_t a = rule.address; a <= last; ++a) {
    if (image[a] != 0xFF) {
      placement.problem = SerialPlacement::Problem::kOnImage;
      placement.first = a;
      placement.value = image[a];
      return placement;
    }
  }
  return placement;
}

std::uint64_t LargestNumber(const SerialRule& rule) {
  // 2^63 - 1: the store keeps numbers as signed 64-bit integers.
  constexpr std::uint64_t kStoreLimit = (std::uint64_t{1} << 63) - 1;
  switch (rule.format) {
    case SerialRule::Format::kLe16:
    case SerialRule::Format::kBe16:
      return 0xFFFF;
    case SerialRule::Format::kLe32:
    case SerialRule::Format::kBe32:
      return 0xFFFFFFFFu;
    case SerialRule::Format::kBcd:
    case SerialRule::Format::kAscii: {
      // 10^19 - 1 is beyond the store's limit; fewer digits are below it.
      if (rule.digits >= 19) return kStoreLimit;
      std::uint64_t largest = 0;
      for (int i = 0; i < rule.digits; ++i)
        largest = largest * 10 + 9;
      return largest;
    }
  }
  return 0;
}

SerialRuleProblem CheckSerialRule(const SerialRule& rule, std::uint64_t first,
                                  const FlashImage& image, const ChipRow& model) {
  SerialRuleProblem problem;
  problem.rule = rule.Text();
  problem.first = first;
  problem.placement = CheckSerialPlacement(rule, image, static_cast<std::uint32_t>(model.startAddr),
                                           static_cast<std::uint32_t>(model.endAddr));
  if (problem.placement.problem != SerialPlacement::Problem::kNone) {
    problem.kind = SerialRuleProblem::Kind::kPlace;
  } else if (!EncodeSerial(rule, first) || first > LargestNumber(rule)) {
    problem.kind = SerialRuleProblem::Kind::kStart;
  }
  return problem;
}

}  // namespace otp
