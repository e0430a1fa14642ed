#include "ops/Verdict.h"

#include <string_view>

#include "core/Report.h"

namespace otp {

namespace {

struct Named {
  UnitVerdict verdict;
  const char* name;
};
constexpr Named kNames[] = {
    {UnitVerdict::kPass, "pass"},
    {UnitVerdict::kNotGood, "not-good"},
    {UnitVerdict::kLinkFailed, "link"},
    {UnitVerdict::kFileFailed, "file"},
    {UnitVerdict::kPortFailed, "port"},
    {UnitVerdict::kPlanRefused, "plan"},
    {UnitVerdict::kInterrupted, "interrupted"},
    {UnitVerdict::kStoreFailed, "store"},
};

}  // namespace

const char* VerdictName(UnitVerdict verdict) {
  for (const Named& named : kNames) {
    if (named.verdict == verdict) return named.name;
  }
  return "";
}

std::optional<UnitVerdict> VerdictNamed(const char* name) {
  for (const Named& named : kNames) {
    if (std::string_view(named.name) == name) return named.verdict;
  }
  return std::nullopt;
}

UnitVerdict VerdictOf(Outcome outcome, std::optional<unsigned> lastError) {
  switch (outcome) {
    case Outcome::kOk:
      return UnitVerdict::kPass;
    case Outcome::kNotGood:
      return UnitVerdict::kNotGood;
    case Outcome::kNoImage:
      return UnitVerdict::kFileFailed;
    case Outcome::kCanceled:
      return UnitVerdict::kInterrupted;
    case Outcome::kNoResetLine:
      return UnitVerdict::kPortFailed;
    case Outcome::kStopped:
      return UnitVerdict::kLinkFailed;
    case Outcome::kFailed:
      break;
  }
  switch (lastError.value_or(0)) {
    case msg::kOpenComPort:
    case msg::kGainComPortInfo:
    case msg::kChangeComPortSetting:
      return UnitVerdict::kPortFailed;
    case msg::kOpenDownloadFile:
    case msg::kGainFileSize:
    case msg::kFileAccessError:
      return UnitVerdict::kFileFailed;
    default:
      return UnitVerdict::kLinkFailed;
  }
}

}  // namespace otp
