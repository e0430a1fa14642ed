#include "ops/RecordStore.h"

#include <cctype>

namespace otp {

namespace {

constexpr const char* kStateNames[] = {"reserved", "used", "released", "spoiled"};
constexpr const char* kPlaceNames[] = {"held", "passed", "free", "unknown"};

}  // namespace

bool IsServerLocation(std::string_view location) {
  auto starts = [location](std::string_view scheme) {
    if (location.size() < scheme.size()) return false;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(location[i])) != scheme[i]) return false;
    }
    return true;
  };
  return starts("postgresql://") || starts("postgres://");
}

const char* SerialStateName(SerialState state) {
  return kStateNames[static_cast<int>(state)];
}

std::optional<SerialState> SerialStateNamed(std::string_view name) {
  for (int i = 0; i < 4; ++i) {
    if (name == kStateNames[i]) return static_cast<SerialState>(i);
  }
  return std::nullopt;
}

const char* PlaceStateName(PlaceState state) {
  return kPlaceNames[static_cast<int>(state)];
}

std::optional<PlaceState> PlaceStateNamed(std::string_view name) {
  for (int i = 0; i < 4; ++i) {
    if (name == kPlaceNames[i]) return static_cast<PlaceState>(i);
  }
  return std::nullopt;
}

UnitOutcome LegacyOutcome(std::string_view result, UnitVerdict verdict,
                          std::optional<SerialState> state) {
  if (result == "pass") return UnitOutcome::kPass;
  if (result == "interrupted") {
    return state == SerialState::kSpoiled ? UnitOutcome::kFail : UnitOutcome::kStopped;
  }
  if (verdict == UnitVerdict::kPortFailed) return UnitOutcome::kPortProblem;
  if (verdict == UnitVerdict::kPlanRefused) return UnitOutcome::kWrongPart;
  return UnitOutcome::kFail;
}

const char* Attempt::ResultName() const {
  switch (outcome) {
    case UnitOutcome::kPass:
      return "pass";
    case UnitOutcome::kStopped:
      return "interrupted";
    default:
      return "fail";
  }
}

}  // namespace otp
