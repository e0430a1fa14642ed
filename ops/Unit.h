#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "chip/ChipTable.h"
#include "hexfile/FlashBuffer.h"
#include "ops/Engine.h"
#include "ops/Outcome.h"
#include "ops/Plan.h"
#include "ops/Serial.h"

namespace otp {

/// A port as the operator named it, and the model and speed it works at.
struct PortTarget {
  std::string name;    // as given: "COM1" or a device path
  std::string device;  // the device it stands for
  const ChipRow* model = nullptr;
  int rate = 0;  // speed list position
};

/// The phases of a unit, in order, as a face shows them.
enum class UnitPhase { kDownload, kBlankCheck, kPlan, kProgram, kCompare, kRead };
/// "download", "blank-check", "plan", "program", "compare", "read".
const char* PhaseName(UnitPhase phase);

/// Why the burn plan refused a part: nothing was written to it.
enum class PlanRefusal {
  kNone,
  kConflict,  // a byte would need a 0 to become 1: it can never hold the image
  kStarted,   // it holds part of the image, and finishing it was not asked for
  kComplete,  // it holds the whole image already (production burns fresh parts only)
};

/// What one unit of work does after its Download, and how.
struct UnitRequest {
  enum class Work {
    kProgram,     // the plan, Program+Verify and Read+Compare, as the fields below ask
    kBlankCheck,  // Blank Check alone
    kPlan,        // the burn plan alone: a part that cannot take the image is refused
    kCompare,     // Read+Compare alone
    kRead,        // the OTP area into a file
  };
  Work work = Work::kProgram;
  const FlashImage* image = nullptr;   // the image, without a serial number
  const SerialRule* rule = nullptr;    // where the unit's number goes, when it gets one
  bool blankCheck = false;             // Blank Check before anything else
  bool plan = true;                    // the burn plan before programming
  bool resume = false;                 // finish a part that holds part of the image
  bool compare = true;                 // Read+Compare of the whole area afterwards
  bool refuseComplete = false;         // refuse a part that holds the whole image already
  ReadMode reading = ReadMode::kArea;  // what the plan and the compare read
  std::string readPath;                // kRead: where the area goes
  ImageFormat readFormat = ImageFormat::kSRecord;
  bool skipBlank = false;  // kRead: records of 0xFF only left out
};

/// What a unit tells its face as it goes, and where its serial number comes from. Called
/// on the unit's thread.
class UnitHooks {
 public:
  virtual ~UnitHooks() = default;
  virtual void OnPhase(UnitPhase phase) { (void)phase; }
  virtual void OnPlan(const BurnPlan& plan) { (void)plan; }
  /// With a rule, once the Download has passed: the unit's number, or nothing when it
  /// gets none (the unit then ends and nothing is sent to the part).
  virtual std::optional<std::uint64_t> TakeNumber() { return std::nullopt; }
  /// With a rule, when the Download failed: the unit asks for no number.
  virtual void NoNumber() {}
  /// Just before the first program block is sent; false: nothing is sent.
  virtual bool BeforeProgramming() { return true; }
  /// The operator stopped the run: the next phase does not begin.
  virtual bool Stopped() { return false; }
};

/// How a unit ended, with everything its engine found.
struct UnitResult {
  UnitVerdict verdict = UnitVerdict::kPass;
  Outcome outcome = Outcome::kOk;  // of the last operation run
  UnitPhase lastPhase = UnitPhase::kDownload;
  PlanRefusal refusal = PlanRefusal::kNone;
  bool planned = false;
  BurnPlan plan;
  bool alreadyComplete = false;  // the part held the whole image: nothing was written
  bool anotherNumber = false;    // refused: it holds the image with another serial number
  std::optional<std::uint64_t> serial;
  bool noNumber = false;  // no number could be had: nothing was sent
  int programBlocksSent = 0;
  std::optional<std::uint32_t> failedBlock;
  Findings findings;
  std::string portError;  // why the port could not be opened, in the system's words
  double seconds = 0;
};

/// What became of the part: PASS, FAIL (written and spoiled), STOPPED (nothing written),
/// ALREADY PROGRAMMED, WRONG PART, BOARD GONE or PORT PROBLEM.
UnitOutcome OutcomeOf(const UnitResult& result);
/// Why a unit that did not pass did not, for its record and its face: the plan's refusal,
/// or the first failure shown.
std::string FailureText(const UnitResult& result, Language language);

/// One unit: Download (with `reset`), its number when the request has a rule, then Blank
/// Check, the plan and its refusals, Program+Verify and Read+Compare as the request asks.
/// The link is closed at the end, on the calling thread.
UnitResult RunUnit(Engine& engine, SerialPortFactory& ports, const PortTarget& target,
                   ResetMethod reset, const UnitRequest& request, UnitHooks& hooks);

/// Whether a part that the plan refuses holds the whole image already, with another
/// serial number (a burned board put back): every conflict lies in the number's bytes.
bool HoldsAnotherNumber(const BurnPlan& plan, const SerialRule& rule);

/// The image with `number` written at `rule`'s place; false when it does not fit.
bool StampSerial(FlashImage& image, const SerialRule& rule, std::uint64_t number);

}  // namespace otp
