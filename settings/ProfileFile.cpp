#include "settings/ProfileFile.h"

#include <algorithm>
#include <fstream>
#include <system_error>

#include "core/AtomicFile.h"

namespace otp {

namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// The name of a "[name]" line, or nothing when the line is no section header.
std::optional<std::string_view> SectionName(std::string_view line) {
  const std::string_view text = Trim(line);
  if (text.empty() || text.front() != '[') return std::nullopt;
  const auto close = text.find(']');
  if (close == std::string_view::npos) return Trim(text.substr(1));
  return Trim(text.substr(1, close - 1));
}

// The key of a "key=value" line, or nothing for comments and lines without "=".
std::optional<std::string_view> KeyName(std::string_view line) {
  const std::string_view text = Trim(line);
  if (text.empty() || text.front() == ';') return std::nullopt;
  const auto equals = text.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  return Trim(text.substr(0, equals));
}

std::string_view ValueOf(std::string_view line) {
  const auto equals = line.find('=');
  return Trim(line.substr(equals + 1));
}

}  // namespace

std::string CutToCharacters(std::string_view text, std::size_t maxChars) {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    // A byte 10xxxxxx continues a character; every other byte starts one.
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (chars == maxChars) return std::string(text.substr(0, i));
      ++chars;
    }
  }
  return std::string(text);
}

ProfileFile ProfileFile::Load(const std::filesystem::path& path, bool* unreadable) {
  if (unreadable) *unreadable = false;
  std::error_code ec;
  const bool exists = std::filesystem::exists(std::filesystem::symlink_status(path, ec));
  if (!std::filesystem::is_regular_file(path, ec)) {
    if (unreadable) *unreadable = exists;
    return ProfileFile{};
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (unreadable) *unreadable = true;
    return ProfileFile{};
  }
  std::string contents;
  char chunk[8192];
  while (in.read(chunk, sizeof(chunk)) || in.gcount() > 0) {
    contents.append(chunk, static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad()) {
    if (unreadable) *unreadable = true;
    return ProfileFile{};
  }
  return Parse(contents);
}

ProfileFile ProfileFile::Parse(std::string_view contents) {
  ProfileFile file;
  // A byte-order mark is kept for saving but is no part of the first line.
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (contents.substr(0, kBom.size()) == kBom) {
    file.bom_ = true;
    contents.remove_prefix(kBom.size());
  }
  std::size_t pos = 0;
  while (pos < contents.size()) {
    const auto lf = contents.find('\n', pos);
    Line line;
    if (lf == std::string_view::npos) {
      line.text = std::string(contents.substr(pos));
      pos = contents.size();
    } else {
      std::size_t end = lf;
      if (end > pos && contents[end - 1] == '\r') --end;
      line.text = std::string(contents.substr(pos, end - pos));
      line.eol = std::string(contents.substr(end, lf + 1 - end));
      pos = lf + 1;
    }
    file.lines_.push_back(std::move(line));
  }
  return file;
}

std::optional<std::size_t> ProfileFile::FindSection(std::string_view section) const {
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const auto name = SectionName(lines_[i].text);
    if (name && EqualNoCase(*name, section)) return i;
  }
  return std::nullopt;
}

std::optional<std::size_t> ProfileFile::FindKey(std::size_t sectionLine,
                                                std::string_view key) const {
  for (std::size_t i = sectionLine + 1; i < lines_.size(); ++i) {
    if (SectionName(lines_[i].text)) break;
    const auto name = KeyName(lines_[i].text);
    if (name && EqualNoCase(*name, key)) return i;
  }
  return std::nullopt;
}

std::string ProfileFile::GetString(std::string_view section, std::string_view key,
                                   std::string_view fallback) const {
  const auto sectionLine = FindSection(section);
  if (!sectionLine) return CutToCharacters(fallback, kMaxValueLength);
  const auto keyLine = FindKey(*sectionLine, key);
  if (!keyLine) return CutToCharacters(fallback, kMaxValueLength);
  std::string_view value = ValueOf(lines_[*keyLine].text);
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return CutToCharacters(value, kMaxValueLength);
}

std::vector<std::pair<std::string, std::string>> ProfileFile::Entries(
    std::string_view section) const {
  std::vector<std::pair<std::string, std::string>> entries;
  const auto sectionLine = FindSection(section);
  if (!sectionLine) return entries;
  for (std::size_t i = *sectionLine + 1; i < lines_.size() && !SectionName(lines_[i].text); ++i) {
    const auto key = KeyName(lines_[i].text);
    if (!key) continue;
    // The first line of a key is the one that counts.
    bool seen = false;
    for (const auto& entry : entries)
      seen = seen || EqualNoCase(entry.first, *key);
    if (!seen) entries.emplace_back(std::string(*key), GetString(section, *key, ""));
  }
  return entries;
}

int ProfileFile::GetInt(std::string_view section, std::string_view key, int fallback) const {
  const auto sectionLine = FindSection(section);
  if (!sectionLine) return fallback;
  const auto keyLine = FindKey(*sectionLine, key);
  if (!keyLine) return fallback;
  const std::string_view value = ValueOf(lines_[*keyLine].text);
  if (value.empty()) return fallback;
  std::size_t i = 0;
  bool negative = false;
  if (value[i] == '-' || value[i] == '+') negative = value[i++] == '-';
  long long number = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    if (number <= 0x80000000LL) number = number * 10 + (value[i] - '0');
  }
  if (negative) number = -number;
  number = std::clamp(number, -0x80000000LL, 0x7FFFFFFFLL);
  return static_cast<int>(number);
}

std::string ProfileFile::NewLineEnding() const {
  for (const Line& line : lines_) {
    if (!line.eol.empty()) return line.eol;
  }
#ifdef _WIN32
  return "\r\n";
#else
  return "\n";
#endif
}

void ProfileFile::Set(std::string_view section, std::string_view key, std::string_view text) {
  text = text.substr(0, text.find_first_of(std::string_view("\r\n\0", 3)));
  // Reading trims blanks and strips one pair of enclosing quotes: a value that this would
  // change goes inside a pair of quotes of its own, so that it reads back as it was.
  const bool quote =
      !text.empty() && (Trim(text).size() != text.size() ||
                        (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
                         text.back() == text.front()));
  const std::string value = quote ? "\"" + std::string(text) + "\"" : std::string(text);
  const std::string eol = NewLineEnding();
  auto sectionLine = FindSection(section);
  if (!sectionLine) {
    if (!lines_.empty()) EndLine(lines_.back(), eol);
    lines_.push_back({"[" + std::string(section) + "]", eol});
    lines_.push_back({std::string(key) + "=" + value, eol});
    return;
  }
  if (const auto keyLine = FindKey(*sectionLine, key)) {
    // Keep the key's own spelling, as the file has it.
    const std::string name(*KeyName(lines_[*keyLine].text));
    lines_[*keyLine].text = name + "=" + value;
    return;
  }
  // A new key goes after the section's last non-blank line.
  std::size_t insertAfter = *sectionLine;
  for (std::size_t i = *sectionLine + 1; i < lines_.size() && !SectionName(lines_[i].text); ++i) {
    if (!Trim(lines_[i].text).empty()) insertAfter = i;
  }
  EndLine(lines_[insertAfter], eol);
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAfter) + 1,
                {std::string(key) + "=" + value, eol});
}

void ProfileFile::EndLine(Line& line, const std::string& eol) {
  if (!line.eol.empty()) return;
  // A line that ends in a carriage return would lose it to a line feed added after it.
  line.eol = !line.text.empty() && line.text.back() == '\r' ? "\r\n" : eol;
}

std::string ProfileFile::Contents() const {
  std::string out = bom_ ? "\xEF\xBB\xBF" : "";
  for (const Line& line : lines_) {
    out += line.text;
    out += line.eol;
  }
  return out;
}

bool ProfileFile::Save(const std::filesystem::path& path) const {
  return WriteFileAtomically(path, Contents());
}

}  // namespace otp
