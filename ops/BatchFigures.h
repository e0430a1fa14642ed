#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ops/Outcome.h"

namespace otp {

/// Everything a batch report shows, as the store counted it over a period: no row is
/// held, only what the page shows, so a year of records costs the same memory as a day.
struct BatchFigures {
  std::string first;  // the first attempt's start, UTC ISO 8601
  std::string last;   // the last attempt's end

  int units = 0;  // every unit but port problems
  /// Units by their outcome and by whether they wrote their parts: passed, failed
  /// (written and not passed), the yield.
  UnitCounts counts;
  /// Units by what they read of the part (ReadMode's order: the area, the image).
  std::array<int, 2> readings{};
  int activeHours = 0;  // clock hours in which a unit started: the stations ran

  /// Each distinct job, model, clock and image, with its units.
  struct Setup {
    std::string job;
    std::string jobSum;
    std::string model;
    std::string clock;
    std::string image;
    std::uint32_t crc32 = 0;
    ReadMode reading = ReadMode::kArea;  // what its units read of the part
    int units = 0;
  };
  std::vector<Setup> setups;  // the first kListed, the most units first
  int setupCount = 0;         // all of them

  /// A port of a station: its units, and those that passed and failed, for the same
  /// yield as the totals.
  struct Port {
    std::string station;
    std::string port;
    int units = 0;
    int passed = 0;
    int failed = 0;  // written and not passed
    double Yield() const { return passed + failed > 0 ? 100.0 * passed / (passed + failed) : 0; }
  };
  std::vector<Port> ports;  // the worst first

  /// Why units did not pass: the report's catalogue number when there was one (a face
  /// words it in its reader's language), else its text as recorded; with the count.
  struct Reason {
    std::optional<unsigned> id;
    std::string text;  // as recorded, for a reason without a number
    int count = 0;
  };
  std::vector<Reason> reasons;  // the most frequent first
  int otherReasons = 0;         // units whose reasons did not make the list

  /// Units that started in each clock hour, passed and failed.
  struct Hour {
    std::string hour;  // "2026-12-07T14" (UTC)
    int passed = 0;
    int failed = 0;  // written and not passed
  };
  std::vector<Hour> hours;

  /// Failed units by the 256-byte block of the OTP area where they failed (the failing
  /// program block, else the first difference); a block a cell, 0 to 63.
  std::array<int, 64> blocks{};

  /// Serial numbers: those used, as ranges of a counter; spoiled and released ones.
  struct Range {
    std::string counter;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    int count = 0;
  };
  std::vector<Range> used;  // the first kListed of them
  int usedRanges = 0;       // all of them
  int usedNumbers = 0;
  std::vector<std::uint64_t> spoiled;  // the first kListed
  int spoiledNumbers = 0;
  std::vector<std::uint64_t> released;  // the first kListed
  int releasedNumbers = 0;
  /// The next number each counter of the period gives: its lowest released number
  /// first, as the store gives them.
  struct NextFree {
    std::string counter;
    std::optional<std::uint64_t> next;  // none: the counter has no number left
  };
  std::vector<NextFree> nextFree;

  static constexpr int kListed = 40;
};

/// The figures as JSON, for scripts: units, written, passed, failed, yield (null when no
/// part was written), counts by outcome, of units that wrote no part by outcome, and by
/// reading, and the reasons (catalogue number, text as recorded, count).
std::string BatchFiguresJson(const BatchFigures& figures);

}  // namespace otp
