#pragma once

#include <span>
#include <string_view>

namespace otp::res {

/// A text of the faces in English and Japanese (UTF-8). Patterns keep their %1, %2 ...
struct Translation {
  std::string_view english;
  std::string_view japanese;
};

/// Every text that the command line, the station window and the report page show a
/// person, in both languages.
std::span<const Translation> Translations();

}  // namespace otp::res
