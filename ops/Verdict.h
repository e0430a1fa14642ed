#pragma once

#include <optional>

#include "ops/CWriter.h"
#include "ops/Outcome.h"

namespace otp {

/// How a unit of work ended, for every face: the command line turns it into its exit
/// status, the station into a tile's colour, the records keep its name.
enum class UnitVerdict {
  kPass,         // everything asked for ended well
  kNotGood,      // a verdict NG: the part is not blank, or differs from the image
  kLinkFailed,   // the link or the device failed
  kFileFailed,   // a file could not be used (image, monitor, output, journal)
  kPortFailed,   // the port could not be opened or configured
  kPlanRefused,  // the burn plan refused the part
  kInterrupted,  // the operator stopped it
  kStoreFailed,  // the production store gave no number: nothing was burned
};

/// The verdict's name in records and JSON: "pass", "not-good", "link", "file", "port",
/// "plan", "interrupted", "store".
const char* VerdictName(UnitVerdict verdict);
std::optional<UnitVerdict> VerdictNamed(const char* name);

/// The verdict of an operation that ended with `outcome`, after the error report
/// `lastError` (if any).
UnitVerdict VerdictOf(Outcome outcome, std::optional<unsigned> lastError);

/// What sums up a run of many units, its most serious unit first: a part written that did
/// not pass (kNotGood), a port that could not be used (kPortFailed), a board that stopped
/// answering before anything was written (kLinkFailed), a unit the operator stopped
/// (`interrupted` of them: kInterrupted); else kPass. Parts set aside with nothing written
/// (already programmed, wrong part) are the operator's work, named on their own lines: a
/// run of them and of passes ends well.
UnitVerdict RunVerdict(const UnitCounts& counts, int interrupted);

}  // namespace otp
