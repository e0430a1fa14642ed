// The job file: its fields, its image as S-record lines and its checksum, written and read
// back with every check.

#include "ops/job/Job.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "core/Sha256.h"
#include "core/Texts.h"
#include "hexfile/ImageFile.h"
#include "ops/Messages.h"
#include "ops/Setup.h"

namespace otp {

namespace {

constexpr const char* kHeader = "[Job]";
constexpr const char* kImageSection = "[Image]";
constexpr const char* kChecksumKey = "Checksum=";

// One line a value: a line break, a carriage return and the backslash are escaped.
std::string Escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else
      out += c;
  }
  return out;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      const char next = text[++i];
      out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::optional<std::uint64_t> Number(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (*end != '\0' || value >= (std::uint64_t{1} << 63)) return std::nullopt;
  return value;
}

std::optional<ResetMethod> ResetNamed(const std::string& text) {
  if (text == "none") return ResetMethod{ResetMethod::Kind::kNone, {}};
  if (text == "prompt") return ResetMethod{ResetMethod::Kind::kPrompt, {}};
  if (text == "dtr") return ResetMethod{ResetMethod::Kind::kDtr, std::chrono::milliseconds(100)};
  if (text.rfind("dtr:", 0) == 0) {
    const auto ms = Number(text.substr(4));
    if (ms && *ms > 0 && *ms <= 10000) {
      return ResetMethod{ResetMethod::Kind::kDtr, std::chrono::milliseconds(*ms)};
    }
  }
  return std::nullopt;
}

// The fields a job file of this format holds.
bool KnownField(const std::string& key) {
  static constexpr const char* kFields[] = {
      "Format",   "Name",        "Model",      "Clock",       "Reset",   "Serial",
      "Counter",  "SerialStart", "SerialStep", "Resume",      "Confirm", "Image",
      "CRC32",    "Note",        "Created",    "Host",        "Read",    "Lot",
      "Quantity", "Store",       "StoreName",  "BlockMinutes"};
  for (const char* field : kFields) {
    if (key == field) return true;
  }
  return false;
}

// The fields as far as each can be read: what a person is shown of any job.
void FillFields(std::map<std::string, std::string>& fields, Job& job) {
  job.name = fields["Name"];
  job.model = ModelNamed(fields["Model"]);
  if (job.model) job.rate = RateNamed(*job.model, fields["Clock"]).value_or(0);
  job.reset = ResetNamed(fields["Reset"]).value_or(ResetMethod{ResetMethod::Kind::kNone, {}});
  if (!fields["Serial"].empty()) {
    SerialRuleError why{};
    job.rule = ParseSerialRule(fields["Serial"], why);
  }
  job.counter = fields["Counter"].empty() ? job.name : fields["Counter"];
  job.serialStart = Number(fields["SerialStart"]).value_or(1);
  job.serialStep = Number(fields["SerialStep"]).value_or(1);
  job.resume = fields["Resume"] == "yes";
  job.confirm = fields["Confirm"] == "yes";
  job.imageName = fields["Image"];
  job.crc32 = static_cast<std::uint32_t>(Number(fields["CRC32"]).value_or(0));
  job.note = fields["Note"];
  job.created = fields["Created"];
  job.host = fields["Host"];
  job.format = static_cast<int>(Number(fields["Format"]).value_or(0));
  job.reading = ReadModeNamed(fields["Read"]).value_or(ReadMode::kArea);
  job.lot = fields["Lot"];
  job.quantity = Number(fields["Quantity"]);
  job.store = fields["Store"];
  job.storeName = fields["StoreName"];
  if (const auto minutes = Number(fields["BlockMinutes"]);
      minutes && *minutes > 0 && *minutes <= 24 * 60) {
    job.blockMinutes = static_cast<int>(*minutes);
  }
  job.image.fill(0xFF);
}

}  // namespace

std::string Job::ResetText() const {
  switch (reset.kind) {
    case ResetMethod::Kind::kPrompt:
      return "prompt";
    case ResetMethod::Kind::kDtr:
      return reset.dtrPulse.count() == 100 ? "dtr"
                                           : "dtr:" + std::to_string(reset.dtrPulse.count());
    case ResetMethod::Kind::kNone:
    case ResetMethod::Kind::kFound:
      break;
  }
  return "none";
}

std::string JobText(Job& job) {
  std::string header =
      "# An OTP Writer job: what is burned, and how. Changing any byte of this\n"
      "# file makes it fail its checksum.\n";
  header += std::string(kHeader) + "\n";
  auto field = [&header](const char* key, const std::string& value) {
    header += std::string(key) + "=" + Escape(value) + "\n";
  };
  field("Format", std::to_string(job.format));
  field("Name", job.name);
  field("Model", job.model ? std::string(job.model->model) : "");
  field("Clock",
        job.model ? std::string(job.model->speeds[static_cast<std::size_t>(job.rate)]) : "");
  field("Reset", job.ResetText());
  field("Serial", job.rule ? job.rule->Text() : "");
  field("Counter", job.counter);
  field("SerialStart", std::to_string(job.serialStart));
  field("SerialStep", std::to_string(job.serialStep));
  field("Resume", job.resume ? "yes" : "no");
  field("Confirm", job.confirm ? "yes" : "no");
  field("Image", job.imageName);
  field("CRC32", "0x" + Hex(job.crc32, 8));
  field("Note", job.note);
  field("Created", job.created);
  field("Host", job.host);
  field("Read", ReadModeName(job.reading));
  field("Lot", job.lot);
  field("Quantity", job.quantity ? std::to_string(*job.quantity) : "");
  field("Store", job.store);
  field("StoreName", job.storeName);
  field("BlockMinutes", job.blockMinutes ? std::to_string(*job.blockMinutes) : "");
  const std::string image =
      std::string(kImageSection) + "\n" +
      FormatImage(job.image, static_cast<std::uint32_t>(job.model->startAddr),
                  static_cast<std::uint32_t>(job.model->endAddr), ImageFormat::kSRecord, true);
  job.checksum = Sha256Hex(header + image);
  return header + kChecksumKey + job.checksum + "\n" + image;
}

std::uint32_t AreaCrc(const FlashImage& image, const ChipRow& model) {
  const auto start = static_cast<std::uint32_t>(model.startAddr);
  const auto end = static_cast<std::uint32_t>(model.endAddr);
  return Crc32(&image[start], end - start + 1);
}

JobProblem ReadJob(const std::filesystem::path& path, Job& job) {
  JobProblem problem;
  job = Job{};
  // Only a regular file of a job's size is read: a FIFO or a device would never end.
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(status)) {
    problem.kind = JobProblem::Kind::kUnreadable;
    problem.reason = ec ? ec.message() : std::string("no such file");
    return problem;
  }
  if (!std::filesystem::is_regular_file(status)) {
    problem.kind = JobProblem::Kind::kUnreadable;
    problem.reason = std::filesystem::is_directory(status) ? "it is a folder" : "it is no file";
    return problem;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    problem.kind = JobProblem::Kind::kUnreadable;
    problem.reason = "no permission";
    return problem;
  }
  std::string text;
  char buffer[65536];
  while (in.read(buffer, sizeof(buffer)) || in.gcount() > 0) {
    text.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (text.size() > kLargestJobFile) {
      problem.kind = JobProblem::Kind::kUnreadable;
      problem.reason = "larger than any job (" + std::to_string(kLargestJobFile >> 20) + " MiB)";
      return problem;
    }
  }
  if (in.bad()) {
    problem.kind = JobProblem::Kind::kUnreadable;
    problem.reason = "read error";
    return problem;
  }
  return ParseJob(text, job);
}

JobProblem ParseJob(std::string_view original, Job& job) {
  JobProblem problem;
  job = Job{};
  auto fail = [&problem](JobProblem::Kind kind) {
    problem.kind = kind;
    return problem;
  };
  // Line ends as an editor on another system may leave them: CR LF reads as LF.
  std::string text;
  text.reserve(original.size());
  for (std::size_t i = 0; i < original.size(); ++i) {
    if (original[i] == '\r' && i + 1 < original.size() && original[i + 1] == '\n') continue;
    text += original[i];
  }
  // The fields, up to the image; the checksum's own line is no part of what it sums.
  std::istringstream lines(text);
  std::string line;
  std::string hashed;
  std::map<std::string, std::string> fields;
  std::optional<JobProblem> firstFieldProblem;
  bool inJob = false;
  bool inImage = false;
  int lineNumber = 0;
  int imageLine = 0;  // the line of [Image]
  std::string imageText;
  std::string checksum;
  while (std::getline(lines, line)) {
    ++lineNumber;
    const bool ended = !lines.eof() || (!text.empty() && text.back() == '\n');
    const std::string raw = line + (ended ? "\n" : "");
    if (inImage) {
      hashed += raw;
      imageText += raw;
      continue;
    }
    if (line.rfind(kChecksumKey, 0) == 0 && inJob && checksum.empty()) {
      checksum = line.substr(std::string(kChecksumKey).size());
      continue;
    }
    hashed += raw;
    if (line == kHeader) {
      inJob = true;
    } else if (line == kImageSection) {
      inImage = true;
      imageLine = lineNumber;
    } else if (inJob && !line.empty() && line[0] != '#') {
      const auto equals = line.find('=');
      const std::string key = line.substr(0, equals);
      JobProblem found;
      found.line = lineNumber;
      found.field = key;
      if (equals == std::string::npos || !KnownField(key)) {
        found.kind = JobProblem::Kind::kUnknownField;
      } else if (fields.count(key)) {
        // What an editor shows first must be what is burned: a field given twice is no
        // field at all.
        found.kind = JobProblem::Kind::kTwice;
      } else {
        fields[key] = Unescape(line.substr(equals + 1));
        continue;
      }
      if (!firstFieldProblem) firstFieldProblem = found;
    }
  }
  if (!inJob) return fail(JobProblem::Kind::kNotAJob);
  // What can be read of the job is kept, whatever is wrong with it, for a person to see.
  FillFields(fields, job);
  job.checksum = checksum;
  const auto format = Number(fields["Format"]);
  if (!format) {
    problem.field = "Format";
    return fail(JobProblem::Kind::kBadField);
  }
  if (*format > Job::kFormat) {
    problem.format = static_cast<int>(*format);
    return fail(JobProblem::Kind::kNewerFormat);
  }
  if (checksum.empty()) return fail(JobProblem::Kind::kNoChecksum);
  // The image, read over the whole address space: its CRC tells whether it changed.
  FlashImage image;
  image.fill(0xFF);
  std::istringstream imageLines(imageText);
  const ImageResult read = ReadImage(imageLines, 0, 0xFFFF, image);
  const auto crc = Number(fields["CRC32"]);
  const std::string sum = Sha256Hex(hashed);
  if (sum != checksum) {
    problem.found = sum;
    problem.expected = checksum;
    if (read.error != ImageError::kNone) {
      problem.line = imageLine + read.line;
      return fail(JobProblem::Kind::kBadImage);
    }
    if (job.model && crc && AreaCrc(image, *job.model) != *crc) {
      problem.found = "0x" + Hex(AreaCrc(image, *job.model), 8);
      problem.expected = fields["CRC32"];
      return fail(JobProblem::Kind::kImageChanged);
    }
    return fail(JobProblem::Kind::kFieldChanged);
  }
  if (firstFieldProblem) {
    problem = *firstFieldProblem;
    return problem;
  }
  // The content is what was made: each field must still be one this program takes.
  auto badField = [&](const char* field) {
    problem.field = field;
    return fail(JobProblem::Kind::kBadField);
  };
  if (job.name.empty()) return badField("Name");
  if (!job.model) return badField("Model");
  const auto rate = RateNamed(*job.model, fields["Clock"]);
  if (!rate) return badField("Clock");
  if (!ResetNamed(fields["Reset"])) return badField("Reset");
  if (!fields["Serial"].empty() && !job.rule) return badField("Serial");
  if (!Number(fields["SerialStart"])) return badField("SerialStart");
  const auto step = Number(fields["SerialStep"]);
  if (!step || *step == 0) return badField("SerialStep");
  for (const char* yesNo : {"Resume", "Confirm"}) {
    if (fields[yesNo] != "yes" && fields[yesNo] != "no") return badField(yesNo);
  }
  if (!fields["Read"].empty() && !ReadModeNamed(fields["Read"])) return badField("Read");
  if (!fields["Quantity"].empty() && (!job.quantity || *job.quantity == 0)) {
    return badField("Quantity");
  }
  if (job.quantity && job.lot.empty()) return badField("Lot");
  if (!fields["BlockMinutes"].empty() && !job.blockMinutes) return badField("BlockMinutes");
  if (!crc || *crc > 0xFFFFFFFFu) return badField("CRC32");
  job.format = static_cast<int>(*format);
  std::istringstream again(imageText);
  const ImageResult area = ReadImage(again, static_cast<std::uint32_t>(job.model->startAddr),
                                     static_cast<std::uint32_t>(job.model->endAddr), job.image);
  if (area.error != ImageError::kNone || area.dataBytes == 0) {
    problem.line = imageLine + area.line;
    return fail(JobProblem::Kind::kBadImage);
  }
  if (AreaCrc(job.image, *job.model) != job.crc32) {
    problem.found = "0x" + Hex(AreaCrc(job.image, *job.model), 8);
    problem.expected = "0x" + Hex(job.crc32, 8);
    return fail(JobProblem::Kind::kImageChanged);
  }
  // Every check that made the job holds each time it is used.
  if (job.rule) {
    problem.serial = CheckSerialRule(*job.rule, job.serialStart, job.image, *job.model);
    if (problem.serial.kind != SerialRuleProblem::Kind::kNone)
      problem.kind = JobProblem::Kind::kSerial;
  }
  return problem;
}

}  // namespace otp
