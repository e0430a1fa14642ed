// libFuzzer target: the journal's reader on arbitrary text.
//
// Besides the sanitizers' checks: a line that reads as a unit, written again, reads back
// as the same unit; and a line changed in any one byte reads either as damaged or as the
// very same line (a journal that was altered never tells another story). The whole text,
// taken a line at a time, always comes to an end.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ops/journal/Line.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckLine(std::string_view line) {
  const otp::ReadLine read = otp::ReadJournalLine(line, true);
  if (read.kind != otp::ReadLine::Kind::kUnit) return;
  const std::string written = otp::JournalLine(read.entry.stage, read.entry.unit);
  Check(!written.empty() && written.back() == '\n');
  const std::string_view again(written.data(), written.size() - 1);
  const otp::ReadLine reread = otp::ReadJournalLine(again, true);
  Check(reread.kind == otp::ReadLine::Kind::kUnit);
  Check(otp::JournalLine(reread.entry.stage, reread.entry.unit) == written);
  // Every single byte changed, in two ways: damaged, or read as the same unit.
  std::string changed(again);
  for (std::size_t i = 0; i < changed.size() && i < 512; ++i) {
    for (const char flip : {char{0x01}, char{0x20}}) {
      changed[i] = static_cast<char>(changed[i] ^ flip);
      const otp::ReadLine other = otp::ReadJournalLine(changed, true);
      if (other.kind == otp::ReadLine::Kind::kUnit) {
        Check(otp::JournalLine(other.entry.stage, other.entry.unit) == written);
      } else {
        Check(other.kind == otp::ReadLine::Kind::kDamaged);
      }
      changed[i] = again[i];
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  otp::JournalReader reader;
  std::size_t from = 0;
  while (from < text.size()) {
    const std::size_t end = text.find('\n', from);
    const bool complete = end != std::string_view::npos;
    const std::string_view line = text.substr(from, (complete ? end : text.size()) - from);
    reader.Take(line, complete);
    CheckLine(line);
    otp::ReadJournalLine(line, false);
    from = complete ? end + 1 : text.size();
  }
  const otp::JournalContents contents = reader.Finish();
  // A damaged journal is trusted for nothing: none of its units is left open.
  if (contents.damage) Check(contents.open.empty());
  return 0;
}
