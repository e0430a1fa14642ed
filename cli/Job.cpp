// job create, show and check; and a job as what produce and program burn.

#include <unistd.h>
#include <cstdio>
#include <filesystem>

#include "cli/Commands.h"
#include "cli/Context.h"
#include "cli/Produce.h"
#include "core/AtomicFile.h"
#include "core/Texts.h"
#include "core/Utf8Path.h"
#include "ops/job/Job.h"
#include "ops/Station.h"

namespace otp::cli {

namespace {

Json JobEvent(const Job& job, const std::string& file, const std::string& problem) {
  Json event("job");
  event.Add("file", file).Add("format", job.format).Add("name", job.name);
  job.model ? event.Add("model", job.model->model) : event.AddNull("model");
  job.model ? event.Add("clock", job.model->speeds[static_cast<std::size_t>(job.rate)])
            : event.AddNull("clock");
  event.Add("reset", job.ResetText());
  job.rule ? event.Add("serial", job.rule->Text()) : event.AddNull("serial");
  event.Add("counter", job.counter);
  event.Add("serialStart", static_cast<long long>(job.serialStart));
  event.Add("serialStep", static_cast<long long>(job.serialStep));
  event.Add("resume", job.resume).Add("confirm", job.confirm).Add("image", job.imageName);
  event.Add("crc32", static_cast<long long>(job.crc32)).Add("note", job.note);
  event.Add("created", job.created).Add("host", job.host);
  event.Add("checksum", job.checksum).Add("shortChecksum", job.ShortChecksum());
  event.Add("read", ReadModeName(job.reading)).Add("lot", job.lot);
  job.quantity ? event.Add("quantity", static_cast<long long>(*job.quantity))
               : event.AddNull("quantity");
  event.Add("store", job.store).Add("storeName", job.storeName);
  job.blockMinutes ? event.Add("blockMinutes", *job.blockMinutes) : event.AddNull("blockMinutes");
  problem.empty() ? event.AddNull("problem") : event.Add("problem", problem);
  return event;
}

int Create(Context& context) {
  const Options& o = context.options;
  const std::string& out = o.arguments[1];
  if (!o.name || !o.model || !o.clock) {
    return context.Fail(kExitUsage, context.T("job create needs --name, -m and -c"));
  }
  std::error_code ec;
  if (!o.force && std::filesystem::exists(std::filesystem::symlink_status(PathFromUtf8(out), ec))) {
    return context.Fail(
        kExitFile, context.T("%1 exists: a job is not replaced unless --force is given", {out}));
  }
  const std::string why = WritableFolderError(PathFromUtf8(out));
  if (!why.empty()) return context.Fail(kExitFile, context.T("cannot write %1: %2", {out, why}));
  JobRequest request;
  request.name = *o.name;
  request.model = &context.model();
  request.rate = context.rate();
  request.reset = o.reset.value_or(ResetMethod{ResetMethod::Kind::kNone, {}});
  request.file = o.arguments[2];
  request.binaryBase = o.base;
  request.serial = o.serial.value_or("");
  request.counter = o.counter.value_or("");
  request.serialStart = o.serialStart.value_or(1);
  request.serialStep = o.serialStep.value_or(1);
  request.resume = o.resume;
  request.confirm = o.confirm;
  request.note = o.note.value_or("");
  request.reading = o.reading.value_or(ReadMode::kArea);
  request.lot = o.lot.value_or("");
  request.quantity = o.quantity;
  request.blockMinutes = o.blockMinutes;
  if (o.quantity && !o.lot) return context.Fail(kExitUsage, context.T("--quantity needs a --lot"));
  if (o.db && o.serial) {
    // The job keeps its numbers in this store: its counter lives there and nowhere else.
    auto store = context.OpenStore(ProductionStore::Access::kWrite);
    if (!store) return kExitFile;
    request.store = store->Identity();
    request.storeName = store->Location();
  }
  SystemClock clock;
  request.created = IsoNow(clock);
  request.host = ThisComputer();
  JobMade made = MakeJob(request, context.language);
  if (!made.problem.empty()) {
    // A serial rule that cannot be read is a usage error, as for produce.
    SerialRuleError ruleError{};
    const bool syntax = !request.serial.empty() && !ParseSerialRule(request.serial, ruleError);
    return context.Fail(syntax ? kExitUsage : kExitFile, made.problem);
  }
  const std::string text = JobText(made.job);
  std::string error;
  if (!WriteFileAtomically(PathFromUtf8(out), text, &error)) {
    return context.Fail(kExitFile, context.T("cannot write %1: %2", {out, error}));
  }
  context.console.Emit(JobEvent(made.job, out, {}));
  context.console.Say(context.T("job %1 written to %2, checksum %3",
                                {made.job.name, out, made.job.ShortChecksum()}));
  return kExitOk;
}

int Show(Context& context, bool checkOnly) {
  const std::string& file = context.options.arguments[1];
  Job job;
  const JobProblem problem = ReadJob(PathFromUtf8(file), job);
  const std::string failure = JobProblemText(problem, file, context.language);
  if (!failure.empty()) context.Fail(kExitFile, Printable(failure));
  // A job that fails its check is still shown, so that quality control sees what it
  // holds; one that could not be read as a job has nothing to show.
  const bool nothing = problem.kind == JobProblem::Kind::kUnreadable ||
                       problem.kind == JobProblem::Kind::kNotAJob ||
                       problem.kind == JobProblem::Kind::kNewerFormat;
  if (nothing || (checkOnly && !failure.empty())) return kExitFile;
  context.console.Emit(JobEvent(job, file, failure));
  if (checkOnly) {
    context.console.Say(context.T("%1 matches its checksum %2", {file, job.ShortChecksum()}));
    return kExitOk;
  }
  auto row = [&context](const std::string& name, const std::string& value) {
    std::string line = name;
    std::size_t width = 0;
    for (const char c : name)
      width += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    line += std::string(width < 16 ? 16 - width : 1, ' ');
    context.console.Say(line + Printable(value));
  };
  const std::string crc = "0x" + Hex(job.crc32, 8);
  const std::string unknown = "?";
  row(context.T("job"), job.name);
  row(context.T("checksum"), job.ShortChecksum() + "  (" + job.checksum + ")");
  row(context.T("format"), std::to_string(job.format));
  row(context.T("model"),
      job.model ? std::string(job.model->model) + ", " +
                      std::string(job.model->speeds[static_cast<std::size_t>(job.rate)])
                : unknown);
  row(context.T("reset"), job.ResetText());
  row(context.T("image"), job.imageName + ", CRC-32 " + crc);
  if (job.rule) {
    row(context.T("serial"),
        context.T("%1, counter %2, from %3 in steps of %4",
                  {job.rule->Text(), job.counter, std::to_string(job.serialStart),
                   std::to_string(job.serialStep)}));
  } else {
    row(context.T("serial"), context.T("none"));
  }
  row(context.T("resume"), job.resume ? context.T("allowed") : context.T("not allowed"));
  row(context.T("confirm"),
      job.confirm ? context.T("the operator types the checksum") : context.T("no"));
  row(context.T("read"), job.reading == ReadMode::kImage ? context.T("the image's blocks only")
                                                         : context.T("the whole OTP area"));
  if (!job.lot.empty()) {
    row(context.T("lot"), job.quantity
                              ? context.T("%1, %2 parts", {job.lot, std::to_string(*job.quantity)})
                              : job.lot);
  }
  if (!job.store.empty()) {
    row(context.T("store"), job.storeName + "  (" + job.store + ")");
  }
  row(context.T("note"), job.note);
  row(context.T("created"), job.created + ", " + job.host);
  return failure.empty() ? kExitOk : kExitFile;
}

}  // namespace

int RunJob(Context& context) {
  const std::string& action = context.options.arguments[0];
  if (action == "create") return Create(context);
  return Show(context, action == "check");
}

}  // namespace otp::cli
