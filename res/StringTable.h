#pragma once

#include <span>

namespace otp::res {

/// One entry of the message catalogue in both languages (UTF-8).
struct StringEntry {
  unsigned id;
  const char* english;
  const char* japanese;
};

/// The whole catalogue, in ascending id order.
std::span<const StringEntry> StringTable();

/// The texts of the commands added to the window's own (600 and above), in both
/// languages; some are formats with "%d" and "%X" fields.
std::span<const StringEntry> AddedTexts();

/// The application's title: window captions and the progress dialog's default caption.
inline constexpr const char* kAppTitle = "OTP Writer";

}  // namespace otp::res
