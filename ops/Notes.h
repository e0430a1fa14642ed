#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Catalogue.h"

namespace otp {

/// What the engine tells a person of a start, a unit or the end of a round, as a number
/// of this catalogue and its arguments: every face words it the same, in its reader's
/// language, and a record may keep it without words. The numbers never change meaning.
enum class NoteId : unsigned {
  // A start: what it found and did.
  kJournalSkipped = 1,   // file, why (not-a-file, too-large, unreadable)
  kJournalSetAside = 2,  // file, aside, units, reason
  kJournalDamaged = 3,   // file, aside, line, why, field, format, spoiled, numbers
  kUnitReplayed = 4,     // a unit that waited in a journal: port, serial, outcome
  kUnitStopped = 5,      // a unit that stopped with its station: port, serial, outcome, state
  kUnitGuessed = 6,     // a unit of a station gone elsewhere: station, port, serial, outcome, state
  kNumbersSettled = 7,  // released, spoiled
  kNewCounter = 8,      // counter, next, step
  // A start that cannot go on.
  kStoreFailed = 20,    // detail
  kJournalFailed = 21,  // detail
  kSerialRule = 22,     // detail
  kLotComplete = 23,    // lot, passed, quantity
  kCounterStart = 24,   // counter, start, next, step
  kCounterStep = 25,    // counter, step, next
  kCounterFull = 26,    // counter, rule
  // A unit.
  kNoNumber = 40,            // no number for it: nothing was sent to the part
  kNotRecorded = 41,         // journalError, storeError
  kJournalWriteFailed = 42,  // journalError: it went to the store directly
  kRecordRefused = 43,       // port, serial, outcome, reason
  // The end of a round.
  kRoundLotComplete = 60,  // lot, passed, quantity
  kBlockSpent = 61,        // storeError, waiting (its ports)
  kPlacesSpent = 62,       // lot, storeError, waiting
  kNumbersExhausted = 63,  // counter, rule
  kJournalStopped = 64,    // journalError
  kRecordUnsaved = 65,     // port, serial, outcome
  kRecordWaiting = 66,     // port, serial, outcome, folder
};

/// An argument of a note: its name (as JSON names it) and value, a number where it is one.
struct NoteArg {
  std::string name;
  std::string text;
  std::optional<long long> number;
  bool flag = false;  // a yes or no: `number` 1 or 0
};

/// How a face shows a note.
enum class NoteWeight {
  kInfo,     // said, in passing
  kWarning,  // said on the error stream, in its colour
  kProblem,  // the start or the round cannot go on
};

struct Note {
  NoteId id{};
  std::vector<NoteArg> args;

  /// The value of argument `name`, or empty.
  std::string Text(std::string_view name) const;
  std::optional<long long> Number(std::string_view name) const;
  Note& Add(std::string name, std::string text);
  Note& Add(std::string name, long long number);
  Note& Flag(std::string name, bool value);
};

/// The note in `language`, as every face words it.
std::string NoteText(const Note& note, Language language);
/// The JSON event that stands for the note ("replayed", "damaged", ...).
const char* NoteKey(NoteId id);
NoteWeight WeightOf(NoteId id);

}  // namespace otp
