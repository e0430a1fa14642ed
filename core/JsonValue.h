#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace otp {

/// A JSON value read from text that may be hostile: nested at most kDeepest levels, read
/// without the locale. Objects keep the last value of a repeated key.
class JsonValue {
 public:
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };

  /// `text` as one JSON value (blanks around it allowed); nothing for anything else.
  static std::optional<JsonValue> Parse(std::string_view text);

  Kind kind() const { return kind_; }
  bool IsObject() const { return kind_ == Kind::kObject; }
  /// The member `key` of an object, or a null value.
  const JsonValue& operator[](const std::string& key) const;
  /// The items of an array (empty for anything else).
  const std::vector<JsonValue>& Items() const { return items_; }
  bool IsNumber() const { return kind_ == Kind::kNumber; }
  bool IsString() const { return kind_ == Kind::kString; }
  /// The value as a boolean, number or string; `fallback` when it is none.
  bool Bool(bool fallback = false) const { return kind_ == Kind::kBool ? flag_ : fallback; }
  double Number(double fallback = 0) const { return kind_ == Kind::kNumber ? number_ : fallback; }
  std::string String(const std::string& fallback = {}) const {
    return kind_ == Kind::kString ? text_ : fallback;
  }

  static constexpr int kDeepest = 32;

 private:
  friend class JsonReader;
  Kind kind_ = Kind::kNull;
  bool flag_ = false;
  double number_ = 0;
  std::string text_;
  std::vector<JsonValue> items_;
  std::map<std::string, JsonValue> members_;
};

}  // namespace otp
