#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "core/Crc.h"
#include "ops/journal/Journal.h"
#include "tests/support/TempDir.h"

namespace otp {
namespace {

// A unit with every field set, texts that need escaping among them.
Attempt FullUnit() {
  Attempt u;
  u.unitId = "4711-00000000deadbeef-3";
  u.started = "2026-12-08T10:00:00Z";
  u.ended = "2026-12-08T10:00:19Z";
  u.station = "line 2 = bench %A";
  u.port = "COM1";
  u.device = "/dev/ttyUSB0";
  u.model = "KT47C150";
  u.clock = "8MHz";
  u.image = "brake rev\nC.mhx";
  u.crc32 = 0x07C84554;
  u.job = "BRAKE";
  u.jobSum = "3f9a21c7";
  u.lot = "L-7";
  u.lotPlace = 12;
  u.counter = "serial";
  u.serial = 700;
  u.serialState = SerialState::kSpoiled;
  u.outcome = UnitOutcome::kFail;
  u.verdict = UnitVerdict::kNotGood;
  u.reportId = 236;
  u.reportText = " No.018 Device error";
  u.firstDifference = 0xC200;
  u.failedBlock = 0xC200;
  u.seconds = 18.925;
  u.reading = ReadMode::kImage;
  return u;
}

// `line` without its end of line.
std::string Bare(std::string line) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}

// `text` (a line's fields and "end") with a checksum of its own: a line that a writer
// wrote so, whatever it holds.
std::string Sealed(const std::string& text) {
  char crc[16];
  std::snprintf(crc, sizeof(crc), "%08X", Crc32c(text));
  return text + " crc=" + crc;
}

// The text of a sealed line, its checksum left off.
std::string TextOf(const std::string& line) {
  return line.substr(0, line.rfind(" crc="));
}

// A journal's whole text, read as a start reads it.
JournalContents ReadText(const std::string& text) {
  JournalReader reader;
  std::size_t from = 0;
  while (from < text.size()) {
    const std::size_t end = text.find('\n', from);
    if (end == std::string::npos) {
      reader.Take(text.substr(from), false);
      break;
    }
    reader.Take(text.substr(from, end - from), true);
    from = end + 1;
  }
  return reader.Finish();
}

constexpr JournalStage kStages[] = {JournalStage::kBegun, JournalStage::kReserved,
                                    JournalStage::kProgramming, JournalStage::kEnded,
                                    JournalStage::kConfirmed};

// Every field of every kind of line comes back as it was written.
TEST(JournalLine, EveryFieldComesBack) {
  const Attempt unit = FullUnit();
  for (const JournalStage stage : kStages) {
    const std::string line = JournalLine(stage, unit);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line, whatever the texts hold";
    const ReadLine read = ReadJournalLine(Bare(line), true);
    ASSERT_EQ(read.kind, ReadLine::Kind::kUnit) << line;
    EXPECT_EQ(read.entry.stage, stage);
    const Attempt& u = read.entry.unit;
    EXPECT_EQ(u.unitId, unit.unitId);
    EXPECT_EQ(u.station, unit.station);
    EXPECT_EQ(u.image, unit.image);
    EXPECT_EQ(u.crc32, unit.crc32);
    EXPECT_EQ(u.lot, unit.lot);
    EXPECT_EQ(u.lotPlace, unit.lotPlace);
    EXPECT_EQ(u.serial, unit.serial);
    EXPECT_EQ(u.serialState, unit.serialState);
    EXPECT_EQ(u.outcome, unit.outcome);
    EXPECT_EQ(u.verdict, unit.verdict);
    EXPECT_EQ(u.reportId, unit.reportId);
    EXPECT_EQ(u.reportText, unit.reportText);
    EXPECT_EQ(u.firstDifference, unit.firstDifference);
    EXPECT_EQ(u.failedBlock, unit.failedBlock);
    EXPECT_DOUBLE_EQ(u.seconds, unit.seconds);
    EXPECT_EQ(u.reading, unit.reading);
  }
  // Optional numbers that are not there stay not there.
  Attempt bare;
  bare.unitId = "u";
  const ReadLine read = ReadJournalLine(Bare(JournalLine(JournalStage::kBegun, bare)), true);
  ASSERT_EQ(read.kind, ReadLine::Kind::kUnit);
  EXPECT_FALSE(read.entry.unit.serial);
  EXPECT_FALSE(read.entry.unit.serialState);
  EXPECT_FALSE(read.entry.unit.lotPlace);
  EXPECT_FALSE(read.entry.unit.reportId);
}

// Damage at every field of every kind of line: a changed byte fails the checksum; a line
// sealed by another writer with a value, a field or a word this release does not know is
// no proof either. Nothing damaged is ever read as a unit.
TEST(JournalLine, DamageAtEveryFieldOfEveryLine) {
  const Attempt unit = FullUnit();
  // The fields whose values have a meaning this release checks.
  const std::set<std::string> typed = {"crc32",      "serial", "state",   "outcome",
                                       "verdict",    "place",  "reading", "report",
                                       "difference", "block",  "seconds"};
  int cases = 0;
  for (const JournalStage stage : kStages) {
    const std::string line = Bare(JournalLine(stage, unit));
    const std::string text = TextOf(line);
    std::istringstream words(text);
    std::string word;
    words >> word;  // the stage
    while (words >> word && word != "end") {
      const std::string key = word.substr(0, word.find('='));
      const std::size_t at = text.find(" " + word + " ") + 1;
      SCOPED_TRACE(line + " / " + key);
      struct Damage {
        const char* what;
        std::string line;
        LineDamage::Why why;
      };
      std::vector<Damage> damages;
      // One byte of the value changed, as a bad sector or a torn write leaves it.
      std::string flipped = line;
      const std::size_t value = at + key.size() + 1;
      flipped[value < at + word.size() ? value : at] ^= 0x01;
      damages.push_back({"a byte changed", flipped, LineDamage::Why::kChecksum});
      // The field left out, by a writer that sealed the line anyway.
      std::string without = text;
      without.erase(at, word.size() + 1);
      damages.push_back({"the field left out", Sealed(without), LineDamage::Why::kMissingField});
      // The field twice.
      std::string twice = text;
      twice.insert(at, word + " ");
      damages.push_back({"the field twice", Sealed(twice), LineDamage::Why::kUnknownField});
      // A value this release does not know.
      if (typed.count(key)) {
        std::string strange = text;
        strange.replace(at, word.size(), key + "=x9");
        damages.push_back({"a value unknown", Sealed(strange), LineDamage::Why::kBadField});
      }
      // A broken escape.
      std::string escape = text;
      escape.replace(at, word.size(), key + "=%G1");
      damages.push_back({"a broken escape", Sealed(escape), LineDamage::Why::kBadField});
      for (const Damage& d : damages) {
        ++cases;
        const ReadLine read = ReadJournalLine(d.line, true);
        EXPECT_EQ(read.kind, ReadLine::Kind::kDamaged) << d.what << ": " << d.line;
        EXPECT_EQ(read.damage.why, d.why) << d.what;
        // In a journal, the damage names its line and nothing of the file is trusted.
        const JournalContents contents =
            ReadText(JournalHeader() + JournalLine(JournalStage::kBegun, unit) + d.line + "\n");
        ASSERT_TRUE(contents.damage) << d.what;
        EXPECT_EQ(contents.damage->line, 3u) << d.what;
        EXPECT_TRUE(contents.open.empty()) << d.what;
      }
    }
  }
  EXPECT_GT(cases, 5 * 25 * 4);
  // Words that are no part of a unit's line.
  const std::string text = TextOf(Bare(JournalLine(JournalStage::kEnded, unit)));
  struct Strange {
    const char* what;
    std::string line;
    LineDamage::Why why;
  };
  const Strange strange[] = {
      {"an unknown stage", Sealed("finished" + text.substr(5)), LineDamage::Why::kUnknownKind},
      {"an unknown field", Sealed(text.substr(0, text.size() - 4) + " colour=red end"),
       LineDamage::Why::kUnknownField},
      {"no end", Sealed(text.substr(0, text.size() - 4)), LineDamage::Why::kTorn},
      {"no checksum", text, LineDamage::Why::kNoChecksum},
      {"a checksum of seven digits", text + " crc=1234567", LineDamage::Why::kTorn},
      {"an empty line", "", LineDamage::Why::kTorn},
      {"a result field, as before outcomes",
       Sealed(text.substr(0, text.size() - 4) + " result=pass end"),
       LineDamage::Why::kUnknownField},
  };
  for (const Strange& s : strange) {
    const ReadLine read = ReadJournalLine(s.line, true);
    EXPECT_EQ(read.kind, ReadLine::Kind::kDamaged) << s.what;
    EXPECT_EQ(read.damage.why, s.why) << s.what;
  }
}

// A line cut short at any byte, as a crash or a full disk leaves it: the last line of the
// file (no end of line) or one in the middle, it makes the journal proof of nothing.
TEST(JournalLine, TornLines) {
  const std::string header = JournalHeader();
  const std::string first = JournalLine(JournalStage::kReserved, FullUnit());
  const std::string last = JournalLine(JournalStage::kEnded, FullUnit());
  for (std::size_t cut = 1; cut + 1 < last.size(); ++cut) {
    SCOPED_TRACE(cut);
    const JournalContents atTheEnd = ReadText(header + first + last.substr(0, cut));
    ASSERT_TRUE(atTheEnd.damage);
    EXPECT_EQ(atTheEnd.damage->line, 3u);
    EXPECT_TRUE(atTheEnd.open.empty());
    const JournalContents inTheMiddle = ReadText(header + last.substr(0, cut) + "\n" + first);
    ASSERT_TRUE(inTheMiddle.damage);
    EXPECT_EQ(inTheMiddle.damage->line, 2u);
  }
  // Whole, it is read.
  const JournalContents whole = ReadText(header + first + last);
  EXPECT_FALSE(whole.damage);
  ASSERT_EQ(whole.open.size(), 1u);
  EXPECT_EQ(whole.open[0].stage, JournalStage::kEnded);
  EXPECT_EQ(whole.numbers, (std::set<std::pair<std::string, std::uint64_t>>{{"serial", 700}}));
}

// Journals of other releases: an earlier one's lines (no header, no checksums, the first
// release's result instead of an outcome) are read as they were written, every word
// checked; a newer release's journal is read as nothing.
TEST(JournalLine, LinesOfOtherReleases) {
  const std::string first =
      "reserved unit=u-1 started=2026-12-01T10:00:00Z ended= station=line-1 port=COM1 "
      "device=/dev/ttyUSB0 model=KT47C150 clock=8MHz image=app.mhx crc32=12 job= jobsum= "
      "counter=serial serial=41 state= result=interrupted verdict=interrupted report= text= "
      "difference= block= seconds=0.000 end";
  const std::string ended =
      "ended unit=u-2 started=2026-12-01T10:00:00Z ended=2026-12-01T10:00:09Z station=line-1 "
      "port=COM1 device=/dev/ttyUSB0 model=KT47C150 clock=8MHz image=app.mhx crc32=12 job= "
      "jobsum= counter=serial serial=42 state=used outcome=pass verdict=pass lot=L-1 "
      "reading=image report= text= difference= block= seconds=9.125 end";
  const JournalContents old = ReadText(first + "\n" + ended + "\n");
  ASSERT_FALSE(old.damage) << LineDamageText(*old.damage, Language::kEnglish);
  ASSERT_EQ(old.open.size(), 2u);
  EXPECT_EQ(old.open[0].unit.outcome, UnitOutcome::kStopped);  // interrupted, not spoiled
  EXPECT_EQ(old.open[0].unit.reading, ReadMode::kArea);
  EXPECT_EQ(old.open[1].unit.outcome, UnitOutcome::kPass);
  EXPECT_EQ(old.open[1].unit.lot, "L-1");
  EXPECT_EQ(old.open[1].unit.reading, ReadMode::kImage);
  // An earlier release's line with a verdict this release does not know is damage, never
  // a pass; so is a result that is none.
  struct Bad {
    std::string from;
    std::string to;
  };
  const Bad bad[] = {{"verdict=pass", "verdict=pas"}, {"outcome=pass", "outcome=passed"},
                     {"state=used", "state=usd"},     {"reading=image", "reading=all"},
                     {"serial=42", "serial=4x"},      {" end", ""}};
  for (const Bad& b : bad) {
    std::string line = ended;
    line.replace(line.find(b.from), b.from.size(), b.to);
    const JournalContents read = ReadText(first + "\n" + line + "\n");
    ASSERT_TRUE(read.damage) << b.to;
    EXPECT_EQ(read.damage->line, 2u);
  }
  std::string result = first;
  result.replace(result.find("result=interrupted"), 18, "result=maybe");
  EXPECT_TRUE(ReadText(result + "\n").damage);
  // A journal of a newer format.
  const JournalContents newer = ReadText(Sealed("journal format=3 end") + "\n" +
                                         JournalLine(JournalStage::kBegun, FullUnit()));
  ASSERT_TRUE(newer.damage);
  EXPECT_EQ(newer.damage->why.why, LineDamage::Why::kNewer);
  EXPECT_EQ(newer.damage->why.format, 3);
  // A header anywhere but at the top, and a journal of this format without checksums.
  EXPECT_TRUE(ReadText(JournalHeader() + JournalHeader()).damage);
  EXPECT_TRUE(ReadText(JournalHeader() + ended + "\n").damage);
}

// The damage a person reads names its line and what is wrong with it.
TEST(JournalLine, DamageIsWorded) {
  const JournalDamage damage{7, LineDamage{LineDamage::Why::kBadField, "verdict", 0}};
  EXPECT_EQ(LineDamageText(damage, Language::kEnglish),
            "line 7: the field verdict holds a value this release does not know");
  EXPECT_NE(LineDamageText(damage, Language::kJapanese).find("7"), std::string::npos);
}

// A journal file on the disk: its header first, a line a write; a file with a damaged
// line is read as its damage, and the numbers its lines name.
TEST(JournalFile, ReadBackFromTheDisk) {
  test::TempDir dir;
  std::string error;
  auto journal = Journal::Open(dir / "journals", "owner-1", error);
  ASSERT_TRUE(journal) << error;
  Attempt unit = FullUnit();
  ASSERT_TRUE(journal->Write(JournalStage::kReserved, unit, error)) << error;
  ASSERT_TRUE(journal->Write(JournalStage::kEnded, unit, error)) << error;
  journal->Keep();
  journal.reset();
  const auto path = dir / "journals" / "owner-1.journal";
  Journal::Skipped::Why why{};
  auto read = Journal::Read(path, why);
  ASSERT_TRUE(read);
  EXPECT_FALSE(read->damage);
  ASSERT_EQ(read->open.size(), 1u);
  EXPECT_EQ(read->open[0].unit.outcome, UnitOutcome::kFail);
  std::string text = test::TempDir::ReadFile(path);
  EXPECT_EQ(text.rfind(JournalHeader(), 0), 0u);
  // The outcome of the last line damaged, as in the field.
  text.replace(text.rfind("outcome=fail"), 12, "outcome=pass");
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  read = Journal::Read(path, why);
  ASSERT_TRUE(read);
  ASSERT_TRUE(read->damage);
  EXPECT_EQ(read->damage->line, 3u);
  EXPECT_EQ(read->damage->why.why, LineDamage::Why::kChecksum);
  EXPECT_TRUE(read->open.empty());
  EXPECT_EQ(read->numbers, (std::set<std::pair<std::string, std::uint64_t>>{{"serial", 700}}));
}

}  // namespace
}  // namespace otp
