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

/// Units counted by outcome and by whether they wrote a part. A part whose writing began
/// (a program block was sent) counts as written whatever ended it; yield is passed over
/// written, and "failed" is every written part that did not pass. A port problem is no
/// unit.
struct UnitCounts {
  std::array<int, 7> outcomes{};    // by outcome (UnitOutcome's order)
  std::array<int, 7> notWritten{};  // of them, those that sent no program block

  void Add(UnitOutcome outcome, bool wrote, int count = 1);
  int Of(UnitOutcome outcome) const { return outcomes[static_cast<std::size_t>(outcome)]; }
  int NotWrittenOf(UnitOutcome outcome) const {
    return notWritten[static_cast<std::size_t>(outcome)];
  }
  int passed() const { return Of(UnitOutcome::kPass); }
  int written() const;
  int failed() const { return written() - passed(); }
  int units() const;  // every outcome but a port problem
  /// Passed over written, in percent; none while no part was written.
  std::optional<double> YieldPercent() const;
};

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
