#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "core/Catalogue.h"

namespace otp {

/// The texts that the faces add to the window's catalogue (the command line, the station
/// window, the report page), keyed by their English text: `english` in `language`. A text
/// that the table lacks stays English (a test finds every such text).
std::string Tr(Language language, std::string_view english);

/// `pattern` with %1 to %9 replaced by `values` in order ("%%" is a percent sign).
std::string Fill(std::string_view pattern, std::initializer_list<std::string_view> values);

/// `value` in `digits` upper-case hexadecimal digits (more when it needs them): "C0F0".
std::string Hex(std::uint32_t value, int digits);

/// `text` for a line on a terminal: control characters shown as "\xNN", so that a name
/// holding a line break or an escape cannot forge a line or move the cursor.
std::string Printable(std::string_view text);

/// `value` with `decimals` digits after a point, whatever the locale: for anything a
/// machine reads (JSON, CSV, journals).
std::string Decimal(double value, int decimals);

/// `text` as a JSON string, quotes included: quotes, backslashes and control characters
/// escaped.
std::string JsonString(std::string_view text);

/// The columns that `utf8` takes on a terminal: East Asian wide characters take two.
std::size_t Columns(std::string_view utf8);
/// `text` followed by blanks up to `columns` columns (one blank at least).
std::string PadTo(const std::string& text, std::size_t columns);

/// Tr, then Fill.
inline std::string Tr(Language language, std::string_view english,
                      std::initializer_list<std::string_view> values) {
  return Fill(Tr(language, english), values);
}

}  // namespace otp
