#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/Catalogue.h"
#include "ops/RecordStore.h"

namespace otp {

/// How far a unit had come when its journal line was written.
enum class JournalStage {
  kBegun,        // the unit started: nothing sent to the part
  kReserved,     // it holds a serial number (and a lot's place): nothing programmed yet
  kProgramming,  // its first program block is about to be sent
  kEnded,        // its outcome is known; the store has not confirmed it yet
  kConfirmed,    // the store holds the attempt
};

/// The last line of a unit in a journal.
struct JournalEntry {
  JournalStage stage = JournalStage::kBegun;
  Attempt unit;
};

/// Why a journal line is not proof of anything.
struct LineDamage {
  enum class Why {
    kNone,
    kChecksum,      // its CRC-32C does not match its text
    kNoChecksum,    // it carries no checksum in a journal whose lines all carry one
    kTorn,          // it stops before its end: cut short, or longer than any line
    kUnknownKind,   // its first word names no stage this release knows
    kBadField,      // a field whose value this release does not know (`field`)
    kUnknownField,  // a field this release does not know, or one given twice (`field`)
    kMissingField,  // a field that every line of its format carries is not there
    kNewer,         // the journal was written by a newer release (`format`)
  };
  Why why = Why::kNone;
  std::string field;
  int format = 0;
};

/// The format of the journal lines this release writes: each carries a CRC-32C of its
/// text, and every journal begins with a line that names the format.
inline constexpr int kJournalFormat = 2;

/// The line that begins every journal this release writes, with its end of line.
std::string JournalHeader();

/// One line of a journal for `unit` at `stage`: its fields, "end", and the CRC-32C of
/// all of that, with its end of line.
std::string JournalLine(JournalStage stage, const Attempt& unit);

/// What one line of a journal holds.
struct ReadLine {
  enum class Kind { kUnit, kHeader, kDamaged };
  Kind kind = Kind::kDamaged;
  JournalEntry entry;  // kUnit
  int format = 0;      // kHeader
  LineDamage damage;   // kDamaged
  /// The serial number (and its counter) the line names, as far as it can be read,
  /// whatever else it holds: a damaged line may still tell which number was at stake.
  std::optional<std::pair<std::string, std::uint64_t>> number;
};

/// Reads `line` (without its end of line). `checksummed`: the journal's lines carry a
/// CRC-32C (a journal of this release); otherwise it is the journal of an earlier
/// release, whose lines are read as they were written, every word checked all the same.
ReadLine ReadJournalLine(std::string_view line, bool checksummed);

/// The first damaged line of a journal, and what it and the others name.
struct JournalDamage {
  std::size_t line = 0;  // counted from 1
  LineDamage why;
};

/// A journal read whole: the last line of each unit that the store never confirmed, in
/// the order the units began; or, when a line is damaged, the first damage (nothing is
/// then trusted); and every serial number that any line names.
struct JournalContents {
  std::vector<JournalEntry> open;
  std::optional<JournalDamage> damage;
  std::set<std::pair<std::string, std::uint64_t>> numbers;
};

/// Reads a journal's text a line at a time, as it comes from the file.
class JournalReader {
 public:
  /// Takes the next line. `complete`: it ended with an end of line (the last line of a
  /// file may not: it was cut short).
  void Take(std::string_view line, bool complete);
  /// What the lines taken hold.
  JournalContents Finish();
  /// A line longer than any the writer writes: cut short, nothing of it read.
  void TakeOverlong();

 private:
  void Damaged(const LineDamage& why);
  std::size_t lines_ = 0;
  bool checksummed_ = false;
  std::vector<std::string> order_;
  std::map<std::string, JournalEntry> units_;
  JournalContents contents_;
};

/// What a person reads of a damage: "line 12: its checksum does not match its text".
std::string LineDamageText(const JournalDamage& damage, Language language);

}  // namespace otp
