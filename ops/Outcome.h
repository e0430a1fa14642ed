#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace otp {

/// How a unit ended for the part on the board: what the operator does with it. Exactly
/// one a unit; the engine decides it, the faces colour and word it.
enum class UnitOutcome {
  kPass,               // written and verified: ship it
  kFail,               // written and spoiled: reject it
  kStopped,            // stopped before anything was written: use the part again
  kAlreadyProgrammed,  // it holds this job's image already: set it aside, not burned again
  kWrongPart,          // it holds other data: reject it
  kBoardGone,          // the board stopped answering: check it
  kPortProblem,        // the adapter, the port or the station's files failed: no unit counted
};

/// "pass", "fail", "stopped", "already-programmed", "wrong-part", "board-gone",
/// "port-problem": the outcome in records and JSON.
const char* OutcomeName(UnitOutcome outcome);
std::optional<UnitOutcome> OutcomeNamed(std::string_view name);

/// Whether a unit with `outcome` counts in the yield: a part was written by it.
inline bool CountsInYield(UnitOutcome outcome) {
  return outcome == UnitOutcome::kPass || outcome == UnitOutcome::kFail;
}

/// What a unit reads of the part: the whole OTP area (before and after writing it), or
/// only the blocks that the image and the serial number touch.
enum class ReadMode { kArea, kImage };
/// "area", "image".
const char* ReadModeName(ReadMode mode);
std::optional<ReadMode> ReadModeNamed(std::string_view name);

/// Counts by outcome (UnitOutcome's order) and by reading (ReadMode's order) as JSON
/// objects keyed by their names: {"pass":3,"fail":1,...}.
std::string OutcomeCountsJson(const std::array<int, 7>& counts);
std::string ReadingCountsJson(const std::array<int, 2>& counts);

}  // namespace otp
