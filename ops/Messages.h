#pragma once

#include <string>

#include "chip/ChipTable.h"
#include "core/Catalogue.h"
#include "hexfile/ImageFile.h"
#include "ops/Journal.h"
#include "ops/Outcome.h"
#include "ops/Serial.h"

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

/// The outcome as the operator reads it: "PASS", "FAIL", "STOPPED", "ALREADY PROGRAMMED",
/// "WRONG PART", "BOARD GONE", "PORT PROBLEM" (one word for each in each language).
std::string OutcomeWord(UnitOutcome outcome, Language language);
/// What the operator does with the part: "ship it", "reject bin", ...
std::string OutcomeInstruction(UnitOutcome outcome, Language language);

/// What lies in a journal folder and was not read as a journal.
std::string SkippedJournalText(const Journal::Skipped& skipped, Language language);
/// A journal set aside as `file`, holding `units` units that the store refused.
std::string SetAsideText(const std::filesystem::path& file, std::size_t units, Language language);

}  // namespace otp
