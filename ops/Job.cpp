#include "ops/Job.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "core/Sha256.h"
#include "core/Texts.h"
#include "hexfile/ImageFile.h"
#include "ops/Messages.h"
#include "ops/Production.h"
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

std::string Hex32(std::uint32_t value) {
  return "0x" + Hex(value, 8);
}

// The CRC-32 of the OTP area of `model` in `image`.
std::uint32_t AreaCrc(const FlashImage& image, const ChipRow& model) {
  const auto start = static_cast<std::uint32_t>(model.startAddr);
  const auto end = static_cast<std::uint32_t>(model.endAddr);
  return Crc32(&image[start], end - start + 1);
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
  field("CRC32", Hex32(job.crc32));
  field("Note", job.note);
  field("Created", job.created);
  field("Host", job.host);
  const std::string image =
      std::string(kImageSection) + "\n" +
      FormatImage(job.image, static_cast<std::uint32_t>(job.model->startAddr),
                  static_cast<std::uint32_t>(job.model->endAddr), ImageFormat::kSRecord, true);
  job.checksum = Sha256Hex(header + image);
  return header + kChecksumKey + job.checksum + "\n" + image;
}

JobProblem ReadJob(const std::filesystem::path& path, Job& job) {
  JobProblem problem;
  auto fail = [&problem](JobProblem::Kind kind) {
    problem.kind = kind;
    return problem;
  };
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail(JobProblem::Kind::kUnreadable);
  std::ostringstream whole;
  whole << in.rdbuf();
  if (in.bad()) return fail(JobProblem::Kind::kUnreadable);
  const std::string text = whole.str();
  // The fields, up to the image; the checksum's own line is no part of what it sums.
  std::istringstream lines(text);
  std::string line;
  std::string hashed;
  std::map<std::string, std::string> fields;
  bool inJob = false;
  bool inImage = false;
  std::string imageText;
  std::string checksum;
  while (std::getline(lines, line)) {
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
    } else if (inJob && !line.empty() && line[0] != '#') {
      const auto equals = line.find('=');
      if (equals != std::string::npos)
        fields[line.substr(0, equals)] = Unescape(line.substr(equals + 1));
    }
  }
  if (!inJob) return fail(JobProblem::Kind::kNotAJob);
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
  job = Job{};
  job.checksum = checksum;
  job.model = ModelNamed(fields["Model"]);
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
      problem.line = read.line;
      return fail(JobProblem::Kind::kBadImage);
    }
    if (job.model && crc && read.error == ImageError::kNone &&
        AreaCrc(image, *job.model) != static_cast<std::uint32_t>(*crc)) {
      problem.found = Hex32(AreaCrc(image, *job.model));
      problem.expected = Hex32(static_cast<std::uint32_t>(*crc));
      return fail(JobProblem::Kind::kImageChanged);
    }
    return fail(JobProblem::Kind::kFieldChanged);
  }
  // The content is what was made: each field must still be one this program takes.
  auto badField = [&](const char* field) {
    problem.field = field;
    return fail(JobProblem::Kind::kBadField);
  };
  job.name = fields["Name"];
  if (job.name.empty()) return badField("Name");
  if (!job.model) return badField("Model");
  const auto rate = RateNamed(*job.model, fields["Clock"]);
  if (!rate) return badField("Clock");
  job.rate = *rate;
  const auto reset = ResetNamed(fields["Reset"]);
  if (!reset) return badField("Reset");
  job.reset = *reset;
  if (!fields["Serial"].empty()) {
    SerialRuleError why{};
    job.rule = ParseSerialRule(fields["Serial"], why);
    if (!job.rule) return badField("Serial");
  }
  job.counter = fields["Counter"].empty() ? job.name : fields["Counter"];
  const auto start = Number(fields["SerialStart"]);
  const auto step = Number(fields["SerialStep"]);
  if (!start) return badField("SerialStart");
  if (!step || *step == 0) return badField("SerialStep");
  job.serialStart = *start;
  job.serialStep = *step;
  job.resume = fields["Resume"] == "yes";
  job.confirm = fields["Confirm"] == "yes";
  job.imageName = fields["Image"];
  if (!crc) return badField("CRC32");
  job.crc32 = static_cast<std::uint32_t>(*crc);
  job.note = fields["Note"];
  job.created = fields["Created"];
  job.host = fields["Host"];
  job.format = static_cast<int>(*format);
  job.image.fill(0xFF);
  std::istringstream again(imageText);
  const ImageResult area = ReadImage(again, static_cast<std::uint32_t>(job.model->startAddr),
                                     static_cast<std::uint32_t>(job.model->endAddr), job.image);
  if (area.error != ImageError::kNone || area.dataBytes == 0) {
    problem.line = area.line;
    return fail(JobProblem::Kind::kBadImage);
  }
  if (AreaCrc(job.image, *job.model) != job.crc32) {
    problem.found = Hex32(AreaCrc(job.image, *job.model));
    problem.expected = Hex32(job.crc32);
    return fail(JobProblem::Kind::kImageChanged);
  }
  return problem;
}

}  // namespace otp

namespace otp {

std::string JobProblemText(const JobProblem& problem, const std::string& file, Language language) {
  switch (problem.kind) {
    case JobProblem::Kind::kNone:
      return {};
    case JobProblem::Kind::kUnreadable:
      return Tr(language, "%1: cannot be read", {file});
    case JobProblem::Kind::kNotAJob:
      return Tr(language, "%1: is no job file", {file});
    case JobProblem::Kind::kNewerFormat:
      return Tr(language, "%1: made by a newer program (format %2); this one reads format %3",
                {file, std::to_string(problem.format), std::to_string(Job::kFormat)});
    case JobProblem::Kind::kNoChecksum:
      return Tr(language, "%1: holds no checksum", {file});
    case JobProblem::Kind::kImageChanged:
      return Tr(language, "%1: the image changed: its CRC-32 is %2, the job says %3",
                {file, problem.found, problem.expected});
    case JobProblem::Kind::kFieldChanged:
      return Tr(language, "%1: a field changed: the content's SHA-256 is %2, the job says %3",
                {file, problem.found.substr(0, 8), problem.expected.substr(0, 8)});
    case JobProblem::Kind::kBadField:
      return Tr(language, "%1: its field %2 cannot be used", {file, problem.field});
    case JobProblem::Kind::kBadImage:
      return Tr(language, "%1: its image cannot be read (line %2)",
                {file, std::to_string(problem.line)});
  }
  return {};
}

}  // namespace otp

namespace otp {

JobMade MakeJob(const JobRequest& request, Language language) {
  JobMade made;
  Job& job = made.job;
  job.name = request.name;
  job.model = request.model;
  job.rate = request.rate;
  job.reset = request.reset;
  job.counter = request.counter.empty() ? request.name : request.counter;
  job.serialStart = request.serialStart;
  job.serialStep = request.serialStep;
  job.resume = request.resume;
  job.confirm = request.confirm;
  job.imageName = std::filesystem::path(request.file).filename().string();
  job.note = request.note;
  job.created = request.created;
  job.host = request.host;
  if (job.name.empty()) {
    made.problem = Tr(language, "the job needs a name");
    return made;
  }
  const auto start = static_cast<std::uint32_t>(job.model->startAddr);
  const auto end = static_cast<std::uint32_t>(job.model->endAddr);
  const ImageResult read =
      LoadImage(request.file, request.binaryBase.value_or(start), start, end, job.image);
  if (read.error != ImageError::kNone || read.dataBytes == 0) {
    made.problem = ImageProblemText(request.file, read, *job.model, language);
    return made;
  }
  job.crc32 = AreaCrc(job.image, *job.model);
  if (!request.serial.empty()) {
    SerialRuleError why{};
    job.rule = ParseSerialRule(request.serial, why);
    if (!job.rule) {
      made.problem = SerialRuleErrorText(request.serial, why, language);
      return made;
    }
    made.problem = PlacementText(CheckSerialPlacement(*job.rule, job.image, start, end), language);
    if (!made.problem.empty()) return made;
    if (!EncodeSerial(*job.rule, job.serialStart)) {
      made.problem = Tr(language, "--serial-start %1 does not fit %2",
                        {std::to_string(job.serialStart), job.rule->Text()});
    }
  }
  return made;
}

void UseJob(const Job& job, RunSetup& setup) {
  for (PortTarget& port : setup.ports) {
    port.model = job.model;
    port.rate = job.rate;
  }
  setup.imageName = job.imageName;
  setup.image = job.image;
  setup.crc32 = job.crc32;
  setup.rule = job.rule;
  setup.counter = job.counter;
  setup.serialStart = job.serialStart;
  setup.serialStep = job.serialStep;
  setup.job = job.name;
  setup.jobSum = job.ShortChecksum();
  // A DTR reset is the fixture's; a prompt is the key that starts each round.
  if (job.reset.kind == ResetMethod::Kind::kDtr) setup.reset = job.reset;
}

}  // namespace otp
