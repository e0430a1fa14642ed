// What a problem of a job means to a person, and a job made from an engineer's choices:
// the image read and the serial rule checked as a production run checks them.

#include <filesystem>

#include "core/Texts.h"
#include "hexfile/ImageFile.h"
#include "ops/Messages.h"
#include "ops/job/Job.h"

namespace otp {

std::string JobProblemText(const JobProblem& problem, const std::string& file, Language language) {
  // A job's own problems name its file; a rule checked before a job exists does not.
  const std::string at = file.empty() ? std::string() : file + ": ";
  switch (problem.kind) {
    case JobProblem::Kind::kNone:
      return {};
    case JobProblem::Kind::kUnreadable:
      return Tr(language, "%1: cannot be read: %2", {file, problem.reason});
    case JobProblem::Kind::kNotAJob:
      return Tr(language, "%1: is no job file (no [Job] line)", {file});
    case JobProblem::Kind::kNewerFormat:
      return Tr(language, "%1: made by a newer program (format %2); this one reads format %3",
                {file, std::to_string(problem.format), std::to_string(Job::kFormat)});
    case JobProblem::Kind::kNoChecksum:
      return Tr(language, "%1: holds no checksum", {file});
    case JobProblem::Kind::kImageChanged:
      return Tr(language,
                "%1: the image's CRC-32 is %2 where its field CRC32 says %3: the image or that "
                "field was changed",
                {file, problem.found, problem.expected});
    case JobProblem::Kind::kFieldChanged:
      return Tr(language,
                "%1: the file was changed since it was made: its SHA-256 is %2, the job says %3",
                {file, problem.found.substr(0, 8), problem.expected.substr(0, 8)});
    case JobProblem::Kind::kBadField:
      return Tr(language, "%1: its field %2 cannot be used", {file, problem.field});
    case JobProblem::Kind::kBadImage:
      return Tr(language, "%1: its image cannot be read (line %2)",
                {file, std::to_string(problem.line)});
    case JobProblem::Kind::kTwice:
      return Tr(language, "%1: line %2: the field %3 is given twice",
                {file, std::to_string(problem.line), problem.field});
    case JobProblem::Kind::kUnknownField:
      return Tr(language, "%1: line %2: %3 is no field of a job",
                {file, std::to_string(problem.line), problem.field});
    case JobProblem::Kind::kSerial:
      return at + SerialRuleProblemText(problem.serial, language);
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
  job.reading = request.reading;
  job.lot = request.lot;
  job.quantity = request.quantity;
  job.store = request.store;
  job.storeName = request.storeName;
  job.blockMinutes = request.blockMinutes;
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
    made.problem = SerialRuleProblemText(
        CheckSerialRule(*job.rule, job.serialStart, job.image, *job.model), language);
  }
  return made;
}

}  // namespace otp
