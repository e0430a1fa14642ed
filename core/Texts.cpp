#include "core/Texts.h"

#include <charconv>
#include <cmath>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "res/Translations.h"

namespace otp {

std::string Tr(Language language, std::string_view english) {
  if (language != Language::kJapanese) return std::string(english);
  // The table is sorted once by its English texts, then searched.
  static const std::vector<res::Translation> sorted = [] {
    const auto table = res::Translations();
    std::vector<res::Translation> entries(table.begin(), table.end());
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
      return std::string_view(a.english) < std::string_view(b.english);
    });
    return entries;
  }();
  const auto found = std::lower_bound(
      sorted.begin(), sorted.end(), english,
      [](const res::Translation& entry, std::string_view key) { return entry.english < key; });
  if (found == sorted.end() || found->english != english) return std::string(english);
  return std::string(found->japanese);
}

std::string Hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof(text), "%0*X", digits, static_cast<unsigned>(value));
  return text;
}

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\x%02X", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

std::string Decimal(double value, int decimals) {
  if (!std::isfinite(value)) value = 0;
  char text[64];
  const auto [end, error] =
      std::to_chars(text, text + sizeof(text), value, std::chars_format::fixed, decimals);
  if (error != std::errc()) return "0";
  return std::string(text, end);
}

std::string Fill(std::string_view pattern, std::initializer_list<std::string_view> values) {
  std::string out;
  out.reserve(pattern.size() + 16);
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '%' && i + 1 < pattern.size()) {
      const char next = pattern[i + 1];
      if (next == '%') {
        out += '%';
        ++i;
        continue;
      }
      if (next >= '1' && next <= '9') {
        const auto index = static_cast<std::size_t>(next - '1');
        if (index < values.size()) out += *(values.begin() + index);
        ++i;
        continue;
      }
    }
    out += c;
  }
  return out;
}

std::size_t Columns(std::string_view utf8) {
  std::size_t columns = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const std::size_t length = lead < 0x80    ? 1
                               : lead >= 0xF0 ? 4
                               : lead >= 0xE0 ? 3
                               : lead >= 0xC0 ? 2
                                              : 1;
    char32_t point = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length && i + k < utf8.size(); ++k)
      point = (point << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += length;
    // The wide ranges: Hangul Jamo, CJK and its punctuation, kana, Hangul syllables,
    // compatibility ideographs and forms, full-width forms, and the planes above.
    const bool wide =
        (point >= 0x1100 && point <= 0x115F) || (point >= 0x2E80 && point <= 0xA4CF) ||
        (point >= 0xAC00 && point <= 0xD7A3) || (point >= 0xF900 && point <= 0xFAFF) ||
        (point >= 0xFE30 && point <= 0xFE4F) || (point >= 0xFF00 && point <= 0xFF60) ||
        (point >= 0xFFE0 && point <= 0xFFE6) || (point >= 0x20000 && point <= 0x3FFFD);
    columns += wide ? 2 : 1;
  }
  return columns;
}

std::string PadTo(const std::string& text, std::size_t columns) {
  const std::size_t taken = Columns(text);
  return text + std::string(taken < columns ? columns - taken : 1, ' ');
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

}  // namespace otp
