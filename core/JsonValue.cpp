#include "core/JsonValue.h"

#include <cctype>
#include <charconv>
#include <cstdint>

namespace otp {

class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  bool Read(JsonValue& value, int depth) {
    if (depth > JsonValue::kDeepest) return false;
    Blanks();
    if (at_ >= text_.size()) return false;
    const char c = text_[at_];
    if (c == '{') return Object(value, depth);
    if (c == '[') return Array(value, depth);
    if (c == '"') {
      value.kind_ = JsonValue::Kind::kString;
      return String(value.text_);
    }
    if (Word("true")) return Set(value, true);
    if (Word("false")) return Set(value, false);
    if (Word("null")) return true;
    return Number(value);
  }
  bool AtEnd() {
    Blanks();
    return at_ == text_.size();
  }

 private:
  void Blanks() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r'))
      ++at_;
  }
  bool Word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }
  static bool Set(JsonValue& value, bool flag) {
    value.kind_ = JsonValue::Kind::kBool;
    value.flag_ = flag;
    return true;
  }
  bool Number(JsonValue& value) {
    const std::size_t start = at_;
    if (at_ < text_.size() && text_[at_] == '-') ++at_;
    while (at_ < text_.size() &&
           (std::isdigit(static_cast<unsigned char>(text_[at_])) || text_[at_] == '.' ||
            text_[at_] == 'e' || text_[at_] == 'E' || text_[at_] == '+' || text_[at_] == '-'))
      ++at_;
    if (at_ == start) return false;
    const auto [end, error] =
        std::from_chars(text_.data() + start, text_.data() + at_, value.number_);
    if (error != std::errc() || end != text_.data() + at_) return false;
    value.kind_ = JsonValue::Kind::kNumber;
    return true;
  }
  void Utf8(std::uint32_t code, std::string& out) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  bool Hex4(std::uint32_t& code) {
    if (at_ + 4 > text_.size()) return false;
    const auto [end, error] = std::from_chars(text_.data() + at_, text_.data() + at_ + 4, code, 16);
    if (error != std::errc() || end != text_.data() + at_ + 4) return false;
    at_ += 4;
    return true;
  }
  bool String(std::string& out) {
    ++at_;  // the quote
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= text_.size()) return false;
      const char e = text_[at_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          std::uint32_t code = 0;
          if (!Hex4(code)) return false;
          if (code >= 0xD800 && code < 0xDC00 && Word("\\u")) {
            std::uint32_t low = 0;
            if (!Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          } else if (code >= 0xD800 && code <= 0xDFFF) {
            return false;
          }
          Utf8(code, out);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }
  bool Array(JsonValue& value, int depth) {
    ++at_;
    value.kind_ = JsonValue::Kind::kArray;
    Blanks();
    if (Word("]")) return true;
    while (true) {
      JsonValue item;
      if (!Read(item, depth + 1)) return false;
      value.items_.push_back(std::move(item));
      Blanks();
      if (Word("]")) return true;
      if (!Word(",")) return false;
    }
  }
  bool Object(JsonValue& value, int depth) {
    ++at_;
    value.kind_ = JsonValue::Kind::kObject;
    Blanks();
    if (Word("}")) return true;
    while (true) {
      Blanks();
      std::string key;
      if (at_ >= text_.size() || text_[at_] != '"' || !String(key)) return false;
      Blanks();
      if (!Word(":")) return false;
      JsonValue member;
      if (!Read(member, depth + 1)) return false;
      value.members_[key] = std::move(member);
      Blanks();
      if (Word("}")) return true;
      if (!Word(",")) return false;
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

std::optional<JsonValue> JsonValue::Parse(std::string_view text) {
  JsonReader reader(text);
  JsonValue value;
  if (!reader.Read(value, 0) || !reader.AtEnd()) return std::nullopt;
  return value;
}

const JsonValue& JsonValue::operator[](const std::string& key) const {
  static const JsonValue kNone;
  const auto it = members_.find(key);
  return it == members_.end() ? kNone : it->second;
}

}  // namespace otp
