// Fuzz target for the settings file, which operators edit by hand: any contents parse;
// reading the four keys, writing them back and reading again gives the same values; and
// every line that the program does not own comes back byte for byte, in its place.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "settings/ProfileFile.h"

namespace {

using otp::ProfileFile;

constexpr std::string_view kKeys[] = {"CPU", "RATE", "COM", "Write File"};

struct Line {
  std::string text;
  std::string eol;
  bool owned = false;  // a line of one of the four keys, as the program finds them
};

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

bool SameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool IsSection(std::string_view text) {
  text = Trim(text);
  return !text.empty() && text.front() == '[';
}

// Splits contents into lines (a BOM is no part of them) and marks the first line of each
// key inside the first "[Recent]" section: the lines the program owns.
std::vector<Line> Lines(std::string_view contents) {
  if (contents.substr(0, 3) == "\xEF\xBB\xBF") contents.remove_prefix(3);
  std::vector<Line> lines;
  while (!contents.empty()) {
    const auto lf = contents.find('\n');
    Line line;
    if (lf == std::string_view::npos) {
      line.text = std::string(contents);
      contents = {};
    } else {
      const std::size_t end = lf > 0 && contents[lf - 1] == '\r' ? lf - 1 : lf;
      line.text = std::string(contents.substr(0, end));
      line.eol = std::string(contents.substr(end, lf + 1 - end));
      contents.remove_prefix(lf + 1);
    }
    lines.push_back(std::move(line));
  }
  std::size_t i = 0;
  for (; i < lines.size(); ++i) {
    std::string_view text = Trim(lines[i].text);
    if (!IsSection(text)) continue;
    text.remove_prefix(1);
    text = Trim(text.substr(0, text.find(']')));
    if (SameNoCase(text, "Recent")) break;
  }
  bool found[4] = {};
  for (++i; i < lines.size() && !IsSection(lines[i].text); ++i) {
    const std::string_view text = Trim(lines[i].text);
    if (text.empty() || text.front() == ';' || text.find('=') == std::string_view::npos) continue;
    const std::string_view key = Trim(text.substr(0, text.find('=')));
    for (int k = 0; k < 4; ++k) {
      if (!found[k] && SameNoCase(key, kKeys[k])) found[k] = lines[i].owned = true;
    }
  }
  return lines;
}

struct Values {
  int numbers[3];
  std::string file;
  bool operator==(const Values&) const = default;
};

Values Read(const ProfileFile& profile) {
  return Values{{profile.GetInt("Recent", "CPU", 0), profile.GetInt("Recent", "RATE", 0),
                 profile.GetInt("Recent", "COM", 1)},
                profile.GetString("Recent", "Write File", "")};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view contents(reinterpret_cast<const char*>(data), size);
  ProfileFile profile = ProfileFile::Parse(contents);
  Values values = Read(profile);
  // The program writes what it read; a value is cut at a line break or NUL on writing.
  values.file = values.file.substr(0, values.file.find_first_of(std::string_view("\r\n\0", 3)));
  for (int k = 0; k < 3; ++k)
    profile.Set("Recent", kKeys[k], std::to_string(values.numbers[k]));
  profile.Set("Recent", "Write File", values.file);
  const std::string written = profile.Contents();
  if (!(Read(ProfileFile::Parse(written)) == values)) std::abort();

  // Every other line, in order, byte for byte; only a last line without an ending may
  // have gained one (after a lone carriage return that makes a CR LF).
  std::vector<Line> before = Lines(contents);
  std::vector<Line> after = Lines(written);
  std::erase_if(before, [](const Line& line) { return line.owned; });
  std::erase_if(after, [](const Line& line) { return line.owned; });
  // A missing section is added at the end with its header.
  if (after.size() == before.size() + 1 && SameNoCase(Trim(after.back().text), "[Recent]")) {
    after.pop_back();
  }
  if (after.size() != before.size()) std::abort();
  for (std::size_t i = 0; i < before.size(); ++i) {
    const std::string was = before[i].text + before[i].eol;
    const std::string is = after[i].text + after[i].eol;
    if (before[i].eol.empty() ? is.compare(0, was.size(), was) != 0 : is != was) std::abort();
  }
  if ((contents.substr(0, 3) == "\xEF\xBB\xBF") !=
      (std::string_view(written).substr(0, 3) == "\xEF\xBB\xBF")) {
    std::abort();
  }
  return 0;
}
