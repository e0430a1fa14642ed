#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace otp {

/// A settings file in the initialisation-file format: "[section]" lines and "key=value"
/// lines. Section and key names match without regard to case; the first match wins.
/// Only the lines of keys that are set change on saving: every other byte of the file is
/// kept as it was, in place, line endings included.
class ProfileFile {
 public:
  /// Longest value that a read returns, in characters; longer values are cut.
  static constexpr std::size_t kMaxValueLength = 260;

  /// Reads `path`. A missing or unreadable file gives an empty profile; `unreadable`, when
  /// given, tells a file that is there (or a name taken by something that is no file) but
  /// could not be read, which must then never be replaced.
  static ProfileFile Load(const std::filesystem::path& path, bool* unreadable = nullptr);
  /// Parses file contents held in memory.
  static ProfileFile Parse(std::string_view contents);

  /// The value of `key` in `section`, blanks around it removed and one pair of enclosing
  /// quotes stripped, cut to kMaxValueLength characters; `fallback` when absent.
  std::string GetString(std::string_view section, std::string_view key,
                        std::string_view fallback) const;
  /// The leading decimal integer of the value (0 when it has none); `fallback` when the
  /// key is absent or its value is empty.
  int GetInt(std::string_view section, std::string_view key, int fallback) const;

  /// The keys of `section` with their values (as GetString gives them), in file order.
  std::vector<std::pair<std::string, std::string>> Entries(std::string_view section) const;

  /// Sets `key` in `section`, adding the key or the section when missing. The text is cut
  /// at its first line break or NUL, so it can never add a line to the file; text with
  /// blanks at its ends or enclosed in quotes is written inside double quotes, so that
  /// GetString gives it back.
  void Set(std::string_view section, std::string_view key, std::string_view text);

  /// Writes the file atomically: a temporary file beside it, flushed to disk, then renamed
  /// over it, so that a crash leaves either the old or the new file. False on failure.
  bool Save(const std::filesystem::path& path) const;

  /// The file contents as they would be saved.
  std::string Contents() const;

 private:
  struct Line {
    std::string text;  // without its line ending
    std::string eol;   // "\n", "\r\n" or "" for a last line without an ending
  };

  std::optional<std::size_t> FindSection(std::string_view section) const;
  std::optional<std::size_t> FindKey(std::size_t sectionLine, std::string_view key) const;
  std::string NewLineEnding() const;
  /// Gives a last line without an ending the ending `eol`, keeping its text as it is.
  static void EndLine(Line& line, const std::string& eol);

  std::vector<Line> lines_;
  bool bom_ = false;
};

/// Cuts UTF-8 text to at most `maxChars` characters, never inside a character.
std::string CutToCharacters(std::string_view text, std::size_t maxChars);

}  // namespace otp
