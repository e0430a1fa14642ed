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
  const UnitCounts& c = figures.counts;
  const auto yield = c.YieldPercent();
  return "{\"units\":" + std::to_string(figures.units) +
         ",\"written\":" + std::to_string(c.written()) +
         ",\"passed\":" + std::to_string(c.passed()) + ",\"failed\":" + std::to_string(c.failed()) +
         ",\"yield\":" + (yield ? Decimal(*yield, 1) : std::string("null")) +
         ",\"outcomes\":" + OutcomeCountsJson(c.outcomes) +
         ",\"notWritten\":" + OutcomeCountsJson(c.notWritten) +
         ",\"readings\":" + ReadingCountsJson(figures.readings) + ",\"reasons\":" + reasons + "]}";
}

}  // namespace otp
