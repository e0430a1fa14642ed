#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace otp {

/// A path from UTF-8 text, on every platform.
inline std::filesystem::path PathFromUtf8(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

/// The UTF-8 text of a path.
inline std::string Utf8FromPath(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

}  // namespace otp
