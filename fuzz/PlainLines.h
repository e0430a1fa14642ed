#pragma once

// The reference reading of the fuzz targets: text-mode lines taken whole, the plain way.

#include <string_view>
#include <vector>

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

}  // namespace otp::fuzz
