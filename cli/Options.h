#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "hexfile/ImageFile.h"
#include "ops/CWriter.h"

namespace otp::cli {

/// Exit statuses of otpwriter-cli.
enum Exit : int {
  kExitOk = 0,           // all good
  kExitNotGood = 1,      // a verdict NG: not blank, differences
  kExitLink = 2,         // the link or the device failed
  kExitFile = 3,         // a file could not be used
  kExitPort = 4,         // the port could not be opened or configured
  kExitPlan = 5,         // the burn plan refuses the part
  kExitInterrupted = 6,  // Ctrl-C
  kExitUsage = 64,       // the command line is wrong
};

/// What the command line asked for.
struct Options {
  std::string command;
  std::vector<std::string> arguments;  // the command's own: a file

  std::optional<std::string> model;  // -m
  std::optional<std::string> clock;  // -c
  std::vector<std::string> ports;    // -p, several times or as a comma list
  std::optional<std::string> settings;
  std::optional<std::string> monitorDir;
  std::optional<ResetMethod> reset;  // default: prompt on a terminal, none otherwise
  int retries = 2;
  bool json = false;
  bool quiet = false;
  bool verbose = false;
  std::optional<std::string> lang;
  bool version = false;
  bool help = false;

  bool blankCheck = false;            // program: Blank Check first
  bool noCompare = false;             // program: no Read+Compare afterwards
  bool noPlan = false;                // program: no burn plan first
  bool resume = false;                // program: finish a part that holds part of the image
  int maxDiffs = 16;                  // compare: differences listed
  std::optional<ImageFormat> format;  // read: instead of the file name's
  std::optional<std::uint32_t> base;  // a FILE ending in .bin is placed from here

  std::optional<std::string> serial;  // produce: ADDR:FORMAT
  std::uint64_t serialStart = 1;
  std::uint64_t serialStep = 1;
  std::optional<std::string> station;  // default: the host name
  std::string db = "production.db";
  std::optional<std::string> since;  // log
  std::optional<std::string> csv;    // log
  bool skipBlank = false;            // read: leave out blank records
};

/// Parses the arguments after the program name. Returns the options, or nothing with
/// `error` set for a usage error.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error);

/// The --help text.
std::string HelpText();

}  // namespace otp::cli
