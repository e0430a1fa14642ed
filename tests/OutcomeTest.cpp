#include <gtest/gtest.h>

#include "ops/Verdict.h"

namespace otp {
namespace {

// What a run's units add up to, and the verdict that sums the run up: a part whose
// writing began counts as written whatever ended it; parts set aside with nothing written
// leave a run of passes good.
TEST(UnitCounts, WrittenPartsAndTheRunsVerdict) {
  struct Unit {
    UnitOutcome outcome;
    bool wrote;
  };
  struct Case {
    const char* what;
    std::vector<Unit> units;
    int interrupted;
    int written, failed, total;
    std::optional<double> yield;
    UnitVerdict verdict;
  };
  using O = UnitOutcome;
  const Case cases[] = {
      {"nothing yet", {}, 0, 0, 0, 0, std::nullopt, UnitVerdict::kPass},
      {"a pass and a board put back",
       {{O::kPass, true}, {O::kAlreadyProgrammed, false}},
       0,
       1,
       0,
       2,
       100.0,
       UnitVerdict::kPass},
      {"a board gone after its first block is written and failed",
       {{O::kPass, true}, {O::kBoardGone, true}},
       0,
       2,
       1,
       2,
       50.0,
       UnitVerdict::kNotGood},
      {"a board gone before writing is no written part",
       {{O::kPass, true}, {O::kBoardGone, false}, {O::kWrongPart, false}},
       0,
       1,
       0,
       3,
       100.0,
       UnitVerdict::kLinkFailed},
      {"a fail is written even if its flag was lost",
       {{O::kFail, false}},
       0,
       1,
       1,
       1,
       0.0,
       UnitVerdict::kNotGood},
      {"a port problem is no unit, but the run says so",
       {{O::kPass, true}, {O::kPortProblem, true}, {O::kBoardGone, false}},
       0,
       1,
       0,
       2,
       100.0,
       UnitVerdict::kPortFailed},
      {"a unit stopped by the operator",
       {{O::kStopped, false}},
       1,
       0,
       0,
       1,
       std::nullopt,
       UnitVerdict::kInterrupted},
      {"a spoiled part outweighs everything else",
       {{O::kPortProblem, false}, {O::kBoardGone, false}, {O::kStopped, true}},
       1,
       1,
       1,
       2,
       0.0,
       UnitVerdict::kNotGood},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UnitCounts counts;
    for (const Unit& u : c.units)
      counts.Add(u.outcome, u.wrote);
    EXPECT_EQ(counts.written(), c.written);
    EXPECT_EQ(counts.failed(), c.failed);
    EXPECT_EQ(counts.units(), c.total);
    EXPECT_EQ(counts.YieldPercent(), c.yield);
    // The counters add up: written and not written make the total.
    int notWritten = 0;
    for (std::size_t i = 0; i < counts.notWritten.size(); ++i)
      notWritten += static_cast<UnitOutcome>(i) == O::kPortProblem ? 0 : counts.notWritten[i];
    EXPECT_EQ(counts.written() + notWritten, counts.units());
    EXPECT_EQ(RunVerdict(counts, c.interrupted), c.verdict);
  }
}

}  // namespace
}  // namespace otp
