#include "ops/Unit.h"

#include <algorithm>

#include "core/Report.h"
#include "core/Texts.h"
#include "ops/Messages.h"

namespace otp {

const char* PhaseName(UnitPhase phase) {
  switch (phase) {
    case UnitPhase::kDownload:
      return "download";
    case UnitPhase::kBlankCheck:
      return "blank-check";
    case UnitPhase::kPlan:
      return "plan";
    case UnitPhase::kProgram:
      return "program";
    case UnitPhase::kCompare:
      return "compare";
    case UnitPhase::kRead:
      return "read";
  }
  return "";
}

bool HoldsAnotherNumber(const BurnPlan& plan, const SerialRule& rule) {
  if (plan.Good() || plan.conflictBytes > plan.conflicts.size()) return false;
  const std::uint64_t first = rule.address;
  const std::uint64_t last = first + rule.Width() - 1;
  for (const Conflict& conflict : plan.conflicts) {
    if (conflict.address < first || conflict.address > last) return false;
  }
  // Every block but the number's holds the image already.
  for (std::size_t i = 0; i < plan.blocks.size(); ++i) {
    const std::uint64_t block = plan.start + static_cast<std::uint64_t>(i) * 256;
    const bool numbers = block <= last && first < block + 256;
    const BlockClass c = plan.blocks[i];
    if (!numbers && c != BlockClass::kSkip && c != BlockClass::kDone) return false;
  }
  return plan.Count(BlockClass::kDone) > 0 || plan.Count(BlockClass::kConflict) > 0;
}

bool StampSerial(FlashImage& image, const SerialRule& rule, std::uint64_t number) {
  // Whatever the rule says, nothing is written outside the image.
  if (std::uint64_t{rule.address} + rule.Width() > image.size()) return false;
  const auto bytes = EncodeSerial(rule, number);
  if (!bytes) return false;
  std::copy(bytes->begin(), bytes->end(), image.begin() + rule.address);
  return true;
}

UnitOutcome OutcomeOf(const UnitResult& r) {
  switch (r.verdict) {
    case UnitVerdict::kPass:
      return UnitOutcome::kPass;
    case UnitVerdict::kPlanRefused:
      return r.refusal == PlanRefusal::kComplete ? UnitOutcome::kAlreadyProgrammed
                                                 : UnitOutcome::kWrongPart;
    case UnitVerdict::kNotGood:
      // A part that is not blank before anything was written holds other data; a part
      // that differs after writing is spoiled.
      return r.programBlocksSent == 0 && r.lastPhase == UnitPhase::kBlankCheck
                 ? UnitOutcome::kWrongPart
                 : UnitOutcome::kFail;
    case UnitVerdict::kInterrupted:
      return r.programBlocksSent > 0 ? UnitOutcome::kFail : UnitOutcome::kStopped;
    case UnitVerdict::kPortFailed:
    case UnitVerdict::kFileFailed:
      return UnitOutcome::kPortProblem;
    case UnitVerdict::kStoreFailed:
      return UnitOutcome::kStopped;
    case UnitVerdict::kLinkFailed:
      // The device refused a block: the part is spoiled. Anything else: the board stopped
      // answering, and what it holds is for a person to check.
      return r.findings.lastError == msg::kDeviceError ? UnitOutcome::kFail
                                                       : UnitOutcome::kBoardGone;
  }
  return UnitOutcome::kFail;
}

std::string FailureText(const UnitResult& r, Language language) {
  switch (r.refusal) {
    case PlanRefusal::kConflict:
      return Tr(language, "the part can never hold the image");
    case PlanRefusal::kStarted:
      return Tr(language, "the part already holds part of the image");
    case PlanRefusal::kComplete:
      return r.anotherNumber
                 ? Tr(language, "the part already holds this image, with another serial number")
                 : Tr(language, "the part already holds this image");
    case PlanRefusal::kNone:
      break;
  }
  if (r.verdict == UnitVerdict::kInterrupted) {
    return r.programBlocksSent > 0 ? Tr(language, "stopped while the part was programmed")
                                   : Tr(language, "stopped before anything was written");
  }
  if (r.verdict == UnitVerdict::kPortFailed && !r.portError.empty()) {
    return r.findings.failure.empty() ? r.portError : r.findings.failure + ": " + r.portError;
  }
  // A part that differs: where, and what it and the file hold there.
  if (r.verdict == UnitVerdict::kNotGood && r.findings.firstDifference) {
    const std::string difference = DifferenceText(*r.findings.firstDifference, r.findings.firstPart,
                                                  r.findings.firstFile, language);
    return r.findings.failure.empty() ? difference : r.findings.failure + "; " + difference;
  }
  return r.findings.failure;
}

UnitResult RunUnit(Engine& engine, SerialPortFactory& ports, const PortTarget& target,
                   ResetMethod reset, const UnitRequest& request, UnitHooks& hooks) {
  const auto began = engine.clock().Now();
  UnitResult result;
  CWriter& writer = engine.writer();
  engine.ResetFindings();
  writer.programBlocksSent = 0;
  writer.failedBlock.reset();
  writer.beforeFirstProgramBlock = [&hooks] { return hooks.BeforeProgramming(); };
  writer.reading = request.reading;

  // Each phase runs only while the previous one passed and the run was not stopped.
  auto enter = [&](UnitPhase phase) {
    if (hooks.Stopped()) {
      result.outcome = Outcome::kCanceled;
      return false;
    }
    result.lastPhase = phase;
    hooks.OnPhase(phase);
    return true;
  };
  auto finish = [&] {
    writer.link.Close();
    writer.beforeFirstProgramBlock = nullptr;
    if (result.refusal == PlanRefusal::kNone && !result.noNumber) {
      result.verdict = engine.VerdictFor(result.outcome);
    }
    result.programBlocksSent = writer.programBlocksSent;
    result.failedBlock = writer.failedBlock;
    result.findings = engine.findings();
    result.seconds = std::chrono::duration<double>(engine.clock().Now() - began).count();
    return result;
  };

  if (!enter(UnitPhase::kDownload)) {
    if (request.rule) hooks.NoNumber();
    return finish();
  }
  result.outcome = writer.Download(ports, target.device, target.rate, reset);
  if (result.outcome != Outcome::kOk) {
    // Why the port could not be opened, asked on the thread that opened it.
    if (!writer.link.IsOpen()) result.portError = ports.LastOpenError();
    if (request.rule) hooks.NoNumber();
    return finish();
  }
  if (request.image) writer.FlashBuffer = *request.image;
  switch (request.work) {
    case UnitRequest::Work::kProgram:
      break;
    case UnitRequest::Work::kBlankCheck:
      if (enter(UnitPhase::kBlankCheck)) result.outcome = writer.BlankCheck();
      return finish();
    case UnitRequest::Work::kPlan:
      if (!enter(UnitPhase::kPlan)) return finish();
      result.outcome = writer.CheckAgainstDevice(result.plan);
      result.planned = result.outcome == Outcome::kOk || result.outcome == Outcome::kNotGood;
      if (result.planned) hooks.OnPlan(result.plan);
      if (result.outcome == Outcome::kNotGood) {
        result.refusal = PlanRefusal::kConflict;
        result.verdict = UnitVerdict::kPlanRefused;
      }
      return finish();
    case UnitRequest::Work::kCompare:
      if (enter(UnitPhase::kCompare)) result.outcome = writer.RunReadCompare();
      return finish();
    case UnitRequest::Work::kRead:
      if (enter(UnitPhase::kRead)) {
        result.outcome =
            writer.ReadDeviceToFile(request.readPath, request.readFormat, request.skipBlank);
      }
      return finish();
  }
  if (request.rule) {
    if (hooks.Stopped()) {  // no number for a unit that stops before its plan
      hooks.NoNumber();
      result.outcome = Outcome::kCanceled;
      return finish();
    }
    result.serial = hooks.TakeNumber();
    if (!result.serial) {
      result.noNumber = true;
      result.verdict = UnitVerdict::kStoreFailed;
      return finish();
    }
    if (!StampSerial(writer.FlashBuffer, *request.rule, *result.serial)) {
      // Nothing was sent: the unit fails with its number, which goes back.
      result.outcome = Outcome::kNoImage;
      UnitResult ended = finish();
      ended.findings.failure =
          Tr(engine.language(), "the serial number does not fit where its rule puts it");
      return ended;
    }
  }
  if (request.blankCheck) {
    if (!enter(UnitPhase::kBlankCheck)) return finish();
    result.outcome = writer.BlankCheck();
    if (result.outcome != Outcome::kOk) return finish();
  }
  if (request.plan) {
    if (!enter(UnitPhase::kPlan)) return finish();
    result.outcome = writer.CheckAgainstDevice(result.plan);
    if (result.outcome != Outcome::kOk && result.outcome != Outcome::kNotGood) return finish();
    result.planned = true;
    hooks.OnPlan(result.plan);
    const bool complete = result.plan.Good() && result.plan.Count(BlockClass::kWrite) == 0 &&
                          result.plan.Count(BlockClass::kCompletable) == 0 &&
                          result.plan.Count(BlockClass::kDone) > 0;
    if (request.rule && request.refuseComplete && HoldsAnotherNumber(result.plan, *request.rule)) {
      result.refusal = PlanRefusal::kComplete;
      result.anotherNumber = true;
    } else if (!result.plan.Good()) {
      result.refusal = PlanRefusal::kConflict;
    } else if (complete && request.refuseComplete) {
      result.refusal = PlanRefusal::kComplete;
    } else if (complete) {
      result.alreadyComplete = true;
    } else if (result.plan.Started() && !request.resume) {
      result.refusal = PlanRefusal::kStarted;
    }
    if (result.refusal != PlanRefusal::kNone) {
      result.verdict = UnitVerdict::kPlanRefused;
      return finish();
    }
  }
  if (!result.alreadyComplete) {
    if (!enter(UnitPhase::kProgram)) return finish();
    result.outcome =
        writer.RunProgramVerify(request.resume && result.planned ? &result.plan : nullptr);
    if (result.outcome != Outcome::kOk) return finish();
  }
  if (request.compare) {
    if (!enter(UnitPhase::kCompare)) return finish();
    result.outcome = writer.RunReadCompare();
  }
  return finish();
}

}  // namespace otp
