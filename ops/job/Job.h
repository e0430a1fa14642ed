#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "chip/ChipTable.h"
#include "core/Catalogue.h"
#include "hexfile/FlashBuffer.h"
#include "ops/CWriter.h"
#include "ops/Outcome.h"
#include "ops/Serial.h"

namespace otp {

/// What an engineer prepares and an operator burns: everything a production run needs,
/// the image itself included, checked against its checksum before the first part.
struct Job {
  static constexpr int kFormat = 2;  // the format this program writes (and all before it)

  int format = kFormat;
  std::string name;
  const ChipRow* model = nullptr;
  int rate = 0;  // speed list position
  ResetMethod reset{ResetMethod::Kind::kNone, {}};
  std::optional<SerialRule> rule;
  std::string counter;  // the job's name unless it names a counter to share
  std::uint64_t serialStart = 1;
  std::uint64_t serialStep = 1;
  bool resume = false;      // whether a run may finish parts that hold part of the image
  bool confirm = false;     // the operator types the short checksum before the first unit
  std::string imageName;    // the file it was made from, for people
  std::uint32_t crc32 = 0;  // of the OTP area
  std::string note;
  std::string created;  // UTC, ISO 8601
  std::string host;
  ReadMode reading = ReadMode::kArea;  // what a unit reads of the part
  std::string lot;                     // the lot its runs belong to unless told otherwise
  std::optional<std::uint64_t> quantity;
  std::string store;                // the identity of the store its counter lives in; empty: any
  std::string storeName;            // that store as it may be shown
  std::optional<int> blockMinutes;  // the work the numbers held ahead cover
  FlashImage image{};               // the OTP area; 0xFF elsewhere
  std::string checksum;             // SHA-256 of the file's content, 64 hexadecimal digits

  /// The first 8 digits of the checksum, as a work instruction shows it.
  std::string ShortChecksum() const { return checksum.substr(0, 8); }
  /// The reset as --reset writes it: "none", "prompt", "dtr", "dtr:MS".
  std::string ResetText() const;
};

/// Why a job cannot be used.
struct JobProblem {
  enum class Kind {
    kNone,
    kUnreadable,    // the file cannot be read
    kNotAJob,       // no job's header
    kNewerFormat,   // made by a newer program (`format`)
    kNoChecksum,    // no checksum line
    kImageChanged,  // the image's data differ from its CRC-32 (`found`, `expected`)
    kFieldChanged,  // the content differs from its checksum (`found`, `expected`)
    kBadField,      // a field this program cannot take (`field`)
    kBadImage,      // the image's lines cannot be read (`line`, counted from the top)
    kTwice,         // a field is given twice (`field`, `line` of the second)
    kUnknownField,  // a line this program does not know (`field`, `line`)
    kSerial,        // the serial rule cannot be used with the image (`serial`)
  };
  Kind kind = Kind::kNone;
  int format = 0;
  std::string field;
  int line = 0;
  std::string found;
  std::string expected;
  std::string reason;  // kUnreadable: why, in the system's words
  SerialRuleProblem serial;
};

/// What a new job is made of: the choices, the image file and the serial rule.
struct JobRequest {
  std::string name;
  const ChipRow* model = nullptr;
  int rate = 0;
  ResetMethod reset{ResetMethod::Kind::kNone, {}};
  std::string file;                         // the image file
  std::optional<std::uint32_t> binaryBase;  // where a .bin file's bytes go
  std::string serial;                       // "ADDR:FORMAT", or empty for none
  std::string counter;                      // empty: the job's name
  std::uint64_t serialStart = 1;
  std::uint64_t serialStep = 1;
  bool resume = false;
  bool confirm = false;
  std::string note;
  std::string created;
  std::string host;
  ReadMode reading = ReadMode::kArea;
  std::string lot;
  std::optional<std::uint64_t> quantity;
  std::string store;  // the identity of the store to bind the counter to
  std::string storeName;
  std::optional<int> blockMinutes;
};

/// A job made from a request, or why it could not be: the image is read and the serial
/// rule checked exactly as a production run would.
struct JobMade {
  Job job;
  std::string problem;  // in the language asked for; empty when the job is good
};
JobMade MakeJob(const JobRequest& request, Language language);

/// The job file's text: its fields, its image as S-record lines, and its checksum over
/// all of that. Fills `job.checksum`.
std::string JobText(Job& job);

/// Reads the job at `path` and checks it as `job create` checks what it makes: its
/// checksum, every field, its image and where its serial number goes. A job that fails
/// gives its problem, and `job` holds what could be read of it (for a person to look
/// at; never to burn).
JobProblem ReadJob(const std::filesystem::path& path, Job& job);
/// The same, of a job file's text.
JobProblem ParseJob(std::string_view text, Job& job);

/// The largest job file this program reads: its image fills at most 64 KiB.
inline constexpr std::uintmax_t kLargestJobFile = 4u << 20;

/// The CRC-32 of `model`'s OTP area in `image`.
std::uint32_t AreaCrc(const FlashImage& image, const ChipRow& model);

/// What a problem of the job `file` means, in `language`; empty for none.
std::string JobProblemText(const JobProblem& problem, const std::string& file, Language language);

}  // namespace otp
