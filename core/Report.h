#pragma once

#include <cstdint>
#include <string>

namespace otp {

/// How a result is shown: 0 information, 1 warning, 2 and 3 error. An error report
/// also asks the operator to redo the Download and returns the window to idle.
using ResultKind = std::int8_t;
inline constexpr ResultKind kInformation = 0;
inline constexpr ResultKind kWarning = 1;
inline constexpr ResultKind kError = 2;

/// Suffix of a catalogue text: 0 none, 1 " OK !!", 2 " NG !!".
using Verdict = std::uint8_t;
inline constexpr Verdict kNoVerdict = 0;
inline constexpr Verdict kVerdictOk = 1;
inline constexpr Verdict kVerdictNg = 2;

/// Identifiers of the message catalogue.
namespace msg {
inline constexpr unsigned kVersionMenu = 101;
inline constexpr unsigned kAppTitle = 104;
inline constexpr unsigned kDownloadError = 201;
inline constexpr unsigned kTimeoutError = 203;
inline constexpr unsigned kOpenComPort = 220;
inline constexpr unsigned kOpenDownloadFile = 221;
inline constexpr unsigned kGainFileSize = 222;
inline constexpr unsigned kGainComPortInfo = 223;
inline constexpr unsigned kChangeComPortSetting = 224;
inline constexpr unsigned kCommunicationError = 232;
inline constexpr unsigned kDeviceError = 236;
inline constexpr unsigned kSumError = 238;
inline constexpr unsigned kCoordinationError = 239;
inline constexpr unsigned kComPortWriteError = 260;
inline constexpr unsigned kComPortReadError = 262;
inline constexpr unsigned kFileAccessError = 264;
inline constexpr unsigned kTryAgainDownload = 279;
inline constexpr unsigned kRedoFromDownload = 280;
inline constexpr unsigned kBlankCheck = 304;
inline constexpr unsigned kReadCompare = 305;
inline constexpr unsigned kProgramVerify = 306;
inline constexpr unsigned kDownload = 307;
inline constexpr unsigned kBlankChecking = 501;
inline constexpr unsigned kProgrammingVerifying = 513;
inline constexpr unsigned kReadingComparing = 514;
inline constexpr unsigned kDownloading = 516;
// Texts of the added commands.
inline constexpr unsigned kPlan = 601;           // " Plan ", followed by the verdict
inline constexpr unsigned kPlanGood = 602;       // the counts of a good plan
inline constexpr unsigned kPlanConflicts = 603;  // the counts and the first conflict
inline constexpr unsigned kChecking = 604;       // status while the plan reads
inline constexpr unsigned kReadToFile = 605;     // " Read to file ", followed by the verdict
inline constexpr unsigned kReading = 606;        // status while the device is read to a file
inline constexpr unsigned kPlanUnread = 607;     // the blocks outside the image a plan left unread
}  // namespace msg

/// Shows results and errors and waits until the operator has acknowledged them. Owns the
/// message catalogue, so that the layers below never pick a language.
class Reporter {
 public:
  virtual ~Reporter() = default;
  /// Shows catalogue text `id` with the verdict's suffix, as `kind`.
  virtual void ReportResult(unsigned id, ResultKind kind, Verdict verdict) = 0;
  /// Shows a composed text as `kind`, without a suffix.
  virtual void ReportMessage(const std::string& text, ResultKind kind) = 0;
  /// Catalogue text `id` in the operator's language, for status texts.
  virtual std::string Text(unsigned id) const = 0;
};

}  // namespace otp
