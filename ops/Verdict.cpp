#include "ops/Verdict.h"

#include <numeric>
#include <string_view>
#include <utility>

#include "core/Report.h"
#include "ops/Outcome.h"

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

namespace {

constexpr std::pair<UnitOutcome, const char*> kOutcomes[] = {
    {UnitOutcome::kPass, "pass"},
    {UnitOutcome::kFail, "fail"},
    {UnitOutcome::kStopped, "stopped"},
    {UnitOutcome::kAlreadyProgrammed, "already-programmed"},
    {UnitOutcome::kWrongPart, "wrong-part"},
    {UnitOutcome::kBoardGone, "board-gone"},
    {UnitOutcome::kPortProblem, "port-problem"},
};
constexpr std::pair<ReadMode, const char*> kReadModes[] = {{ReadMode::kArea, "area"},
                                                           {ReadMode::kImage, "image"}};

template <typename E, std::size_t N>
const char* NameIn(const std::pair<E, const char*> (&table)[N], E value) {
  for (const auto& [known, name] : table) {
    if (known == value) return name;
  }
  return "";
}
template <typename E, std::size_t N>
std::optional<E> Named(const std::pair<E, const char*> (&table)[N], std::string_view name) {
  for (const auto& [known, text] : table) {
    if (name == text) return known;
  }
  return std::nullopt;
}

}  // namespace

const char* OutcomeName(UnitOutcome outcome) {
  return NameIn(kOutcomes, outcome);
}
std::optional<UnitOutcome> OutcomeNamed(std::string_view name) {
  return Named(kOutcomes, name);
}
const char* ReadModeName(ReadMode mode) {
  return NameIn(kReadModes, mode);
}
std::optional<ReadMode> ReadModeNamed(std::string_view name) {
  return Named(kReadModes, name);
}

namespace {

template <typename Enum, std::size_t N>
std::string CountsJson(const std::array<int, N>& counts, const char* (*name)(Enum)) {
  std::string json = "{";
  for (std::size_t i = 0; i < N; ++i) {
    json += std::string(i ? "," : "") + "\"" + name(static_cast<Enum>(i)) +
            "\":" + std::to_string(counts[i]);
  }
  return json + "}";
}

}  // namespace

void UnitCounts::Add(UnitOutcome outcome, bool wrote, int count) {
  const auto i = static_cast<std::size_t>(outcome);
  outcomes[i] += count;
  // A pass and a fail wrote their parts; a port problem never reached one.
  const bool written = outcome == UnitOutcome::kPass || outcome == UnitOutcome::kFail ||
                       (wrote && outcome != UnitOutcome::kPortProblem);
  if (!written) notWritten[i] += count;
}

int UnitCounts::written() const {
  return units() - (std::accumulate(notWritten.begin(), notWritten.end(), 0) -
                    NotWrittenOf(UnitOutcome::kPortProblem));
}

int UnitCounts::units() const {
  return std::accumulate(outcomes.begin(), outcomes.end(), 0) - Of(UnitOutcome::kPortProblem);
}

std::optional<double> UnitCounts::YieldPercent() const {
  const int w = written();
  if (w <= 0) return std::nullopt;
  return 100.0 * passed() / w;
}

UnitVerdict RunVerdict(const UnitCounts& counts, int interrupted) {
  if (counts.failed() > 0) return UnitVerdict::kNotGood;
  if (counts.Of(UnitOutcome::kPortProblem) > 0) return UnitVerdict::kPortFailed;
  if (counts.NotWrittenOf(UnitOutcome::kBoardGone) > 0) return UnitVerdict::kLinkFailed;
  if (interrupted > 0) return UnitVerdict::kInterrupted;
  return UnitVerdict::kPass;
}

std::string OutcomeCountsJson(const std::array<int, 7>& counts) {
  return CountsJson<UnitOutcome>(counts, OutcomeName);
}

std::string ReadingCountsJson(const std::array<int, 2>& counts) {
  return CountsJson<ReadMode>(counts, ReadModeName);
}

}  // namespace otp
