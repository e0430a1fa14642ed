#pragma once

#include <string>
#include <vector>

#include "core/Catalogue.h"
#include "ops/BatchFigures.h"

namespace otp::report {

struct ReportContext;

/// What the batch report says, worded in its reader's language and cut to what it shows:
/// the one content that the painted page (PDF, PNG, the station's tab) and the HTML page
/// both render, so that they never disagree.
struct ReportModel {
  std::string title;
  std::string made;       // "made 2026-12-08 14:00 UTC"
  std::string store;      // never with a password
  std::string period;     // "Period: ..."
  std::string span;       // "first unit ..., last ... (UTC)", or empty without units
  std::string selection;  // the job, station and lot asked for
  bool empty = true;      // no attempt in the period
  std::string emptyText;

  std::string stationsLabel;          // "Stations and ports: "
  std::vector<std::string> stations;  // "line-1 (COM1, COM2)"
  struct Setup {
    std::string text;   // the job, model, clock, image and its CRC, what its units read
    std::string units;  // "412 units"
  };
  std::vector<Setup> setups;  // the first kSetups
  std::string moreSetups;     // "and 3 more", or empty

  struct Total {
    enum class Tone { kInk, kPass, kFail };
    std::string label;
    std::string value;
    Tone tone = Tone::kInk;
  };
  std::vector<Total> totals;  // units, passed, failed, no part written, yield, units/hour
  std::string notWritten;     // the units that wrote no part, by outcome
  std::string yieldNote;      // what the yield is taken over
  std::string perHourNote;

  std::string serialsHeading;
  struct Numbers {
    std::string label;               // "Used: 412 numbers"
    std::vector<std::string> items;  // ranges or numbers, the first kNumbers
    int more = 0;                    // beyond those
    int lines = 2;                   // the lines they may take on the painted page
  };
  std::vector<Numbers> numbers;
  std::vector<std::string> nextFree;  // "Next free number of serial: 1268"
  std::string moreNextFree;
  std::string noNumbers;  // "no serial numbers", or empty

  std::string reasonsHeading;
  struct Reason {
    std::string count;
    std::string text;
  };
  std::vector<Reason> reasons;  // the first kReasons, the most frequent first
  std::string otherReasons;     // "and 5 more units for other reasons", or empty
  std::string noReasons;

  std::string chartHeading;
  std::string mapHeading;
  std::string portsHeading;
  std::vector<std::string> portHeader;  // port, passed, failed, yield
  struct Port {
    std::string name;
    std::string passed;
    std::string failed;
    std::string yield;
    bool failing = false;
  };
  std::vector<Port> ports;  // the worst first, the first kPorts
  std::string morePorts;
  std::string footer;

  /// How many of each list the report shows.
  static constexpr std::size_t kSetups = 4;
  static constexpr std::size_t kNumbers = 12;
  static constexpr std::size_t kNextFree = 3;
  static constexpr std::size_t kReasons = 9;
  static constexpr std::size_t kPorts = 9;
};

/// The report of `figures`, for `context`, in `language`.
ReportModel BuildReport(const BatchFigures& figures, const ReportContext& context,
                        Language language);

}  // namespace otp::report
