#pragma once

// The reference reading of the fuzz targets: text-mode lines taken whole, the plain way.

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "hexfile/FlashBuffer.h"

namespace otp::fuzz {

/// The lines of `text` as text mode reads them: LF ends a line, a CR right before it goes
/// with it, Ctrl-Z ends the file, a last line without LF counts.
inline std::vector<std::string_view> PlainLines(std::string_view text) {
  const auto ctrlZ = text.find('\x1A');
  if (ctrlZ != std::string_view::npos) text = text.substr(0, ctrlZ);
  std::vector<std::string_view> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto lf = text.find('\n', pos);
    std::string_view line = text.substr(pos, lf == std::string_view::npos ? lf : lf - pos);
    pos = lf == std::string_view::npos ? text.size() : lf + 1;
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    lines.push_back(line);
  }
  return lines;
}

/// Whether the first line that is not empty begins with ':' (Intel HEX).
inline bool LooksLikeIntelHex(const std::vector<std::string_view>& lines) {
  for (const std::string_view line : lines) {
    if (!line.empty()) return line[0] == ':';
  }
  return false;
}

/// Builds the image of `text` over `start`..`end` with the writer and with `plain`, a reading
/// written from the format's rules, and aborts unless both stop at the same line for the
/// same reason with the same image (after an error, both hold the records before it), and
/// nothing below the area was written.
template <typename Plain>
void CompareWithPlain(const std::string& text, std::uint32_t start, std::uint32_t end,
                      Plain plain) {
  std::istringstream in(text);
  static otp::FlashImage built;
  static otp::FlashImage expected;
  built.fill(0xFF);
  expected.fill(0xFF);
  const otp::ImageResult result = otp::ReadImage(in, start, end, built);
  const otp::ImageResult reference = plain(text, expected);
  if (result.error != reference.error || result.line != reference.line) std::abort();
  if (built != expected) std::abort();
  for (std::uint32_t a = 0; a < start; ++a) {
    if (built[a] != 0xFF) std::abort();
  }
}

}  // namespace otp::fuzz
