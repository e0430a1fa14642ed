#include "ops/BatchFigures.h"

#include "core/Texts.h"

namespace otp {

std::string BatchFiguresJson(const BatchFigures& figures) {
  std::string reasons = "[";
  for (const BatchFigures::Reason& reason : figures.reasons) {
    reasons += std::string(reasons.size() > 1 ? "," : "") +
               "{\"id\":" + (reason.id ? std::to_string(*reason.id) : std::string("null")) +
               ",\"text\":" + JsonString(Printable(reason.text)) +
               ",\"count\":" + std::to_string(reason.count) + "}";
  }
  const bool written = figures.passed + figures.failed > 0;
  return "{\"units\":" + std::to_string(figures.units) +
         ",\"passed\":" + std::to_string(figures.passed) +
         ",\"failed\":" + std::to_string(figures.failed) +
         ",\"yield\":" + (written ? Decimal(figures.Yield(), 1) : std::string("null")) +
         ",\"outcomes\":" + OutcomeCountsJson(figures.outcomes) +
         ",\"readings\":" + ReadingCountsJson(figures.readings) + ",\"reasons\":" + reasons + "]}";
}

}  // namespace otp
