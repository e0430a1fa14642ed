#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "chip/ChipTable.h"
#include "core/Catalogue.h"
#include "hexfile/ImageFile.h"
#include "ops/Outcome.h"
#include "ops/Serial.h"
#include "ops/journal/Journal.h"

namespace otp {

// What every face says of a file, a serial rule or a serial number's place that cannot
// be used, in the operator's language.

/// "FILE: FORMAT: why", for an image that could not be read for `model`'s OTP area (or
/// that holds no data).
std::string ImageProblemText(const std::string& file, const ImageResult& result,
                             const ChipRow& model, Language language);
/// Why the serial rule `text` cannot be read.
std::string SerialRuleErrorText(const std::string& text, SerialRuleError error, Language language);
/// Why a serial number cannot go where its rule puts it; empty when it can.
std::string PlacementText(const SerialPlacement& placement, Language language);
/// Why a serial rule cannot be used with an image; empty when it can.
std::string SerialRuleProblemText(const SerialRuleProblem& problem, Language language);

/// The outcome as the operator reads it: "PASS", "FAIL", "STOPPED", "ALREADY PROGRAMMED",
/// "WRONG PART", "BOARD GONE", "PORT PROBLEM" (one word for each in each language).
std::string OutcomeWord(UnitOutcome outcome, Language language);
/// The first byte that differed in a compare, with what the part and the file hold:
/// "first difference at C012H: part 00, file 5A".
std::string DifferenceText(std::uint32_t address, std::uint8_t part, std::uint8_t file,
                           Language language);
/// The units that wrote no part, by outcome: "STOPPED 2, ALREADY PROGRAMMED 7"; port
/// problems apart ("; PORT PROBLEM 1 (no unit)"); empty for none.
std::string NotWrittenText(const UnitCounts& counts, Language language);
/// What the operator does with the part: "ship it", "reject bin", ...
std::string OutcomeInstruction(UnitOutcome outcome, Language language);

/// What lies in a journal folder and was not read as a journal.
std::string SkippedJournalText(const Journal::Skipped& skipped, Language language);
/// A journal set aside as `file`, holding `units` units that the store refused.
std::string SetAsideText(const std::filesystem::path& file, std::size_t units, Language language);
/// A journal of a gone station with a damaged line, found by a start: nothing of it was
/// recorded, `spoiled` (its station's numbers) are spoiled, and it lies now at `aside`
/// (empty: it could not be renamed and lies at `file`).
std::string DamagedJournalText(const std::filesystem::path& file,
                               const std::filesystem::path& aside, const JournalDamage& damage,
                               const std::vector<std::uint64_t>& spoiled, Language language);
/// A damaged journal as `log` finds it: set aside by a start already, or not yet.
std::string DamagedJournalFoundText(const std::filesystem::path& file, const JournalDamage& damage,
                                    bool setAside, Language language);
/// Numbers as a person reads a list of them: "700, 701, 705-709" (and "(+N)" past a dozen).
std::string NumberList(std::vector<std::uint64_t> numbers);

}  // namespace otp
