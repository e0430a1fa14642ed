// log: the recorded attempts, as rows, JSON or CSV. It only reads: the store is never
// made, upgraded or changed by it.

#include <cstdio>
#include <map>

#include "cli/Commands.h"
#include "cli/Context.h"
#include "core/AtomicFile.h"
#include "core/Texts.h"
#include "core/Utf8Path.h"

namespace otp::cli {

namespace {

// Text for a terminal line: control characters shown escaped, so that a name holding a
// line break cannot forge a record line.
std::string Printable(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\x%02X", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

// A CSV cell: quoted; one that a spreadsheet would take for a formula starts with an
// apostrophe instead.
std::string Cell(const std::string& text) {
  std::string quoted = "\"";
  if (!text.empty() && (text[0] == '=' || text[0] == '+' || text[0] == '-' || text[0] == '@' ||
                        text[0] == '\t' || text[0] == '\r')) {
    quoted += '\'';
  }
  for (const char c : text)
    quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

int ExitOf(const Attempt& a) {
  if (a.exitStatus) return *a.exitStatus;
  const auto verdict = VerdictNamed(a.verdict.c_str());
  return verdict ? Context::ExitStatusOf(*verdict) : kExitLink;
}

}  // namespace

int RunLog(Context& context) {
  const Options& o = context.options;
  auto store = context.OpenStore(ProductionStore::Access::kRead);
  if (!store) return kExitFile;
  std::string error;
  AttemptFilter filter;
  filter.since = o.since.value_or("");
  filter.until = o.until.value_or("");
  filter.job = o.job.value_or("");
  filter.station = o.station.value_or("");
  const auto attempts = store->Attempts(filter, error);
  if (!attempts) return context.Fail(kExitFile, context.T("the production store: %1", {error}));
  std::map<std::string, int> byResult;
  std::string csv =
      "started,ended,station,port,device,model,clock,image,crc32,job,job_checksum,serial,"
      "serial_state,result,exit_status,report_id,report_text,first_difference,failed_block,"
      "seconds\n";
  for (const Attempt& a : *attempts) {
    ++byResult[a.result];
    const std::string serial = a.serial ? std::to_string(*a.serial) : "";
    const std::string difference = a.firstDifference ? "0x" + Hex(*a.firstDifference, 4) : "";
    const std::string block = a.failedBlock ? "0x" + Hex(*a.failedBlock, 4) : "";
    char seconds[32];
    std::snprintf(seconds, sizeof(seconds), "%.1f", a.seconds);
    csv += Cell(a.started) + "," + Cell(a.ended) + "," + Cell(a.station) + "," + Cell(a.port) +
           "," + Cell(a.device) + "," + Cell(a.model) + "," + Cell(a.clock) + "," + Cell(a.image) +
           ",0x" + Hex(a.crc32, 8) + "," + Cell(a.job) + "," + Cell(a.jobSum) + "," + serial + "," +
           Cell(a.serialState) + "," + Cell(a.result) + "," + std::to_string(ExitOf(a)) + "," +
           (a.reportId ? std::to_string(*a.reportId) : "") + "," + Cell(a.reportText) + "," +
           difference + "," + block + "," + seconds + "\n";
    Json event("attempt");
    event.Add("started", a.started).Add("ended", a.ended).Add("station", a.station);
    event.Add("port", a.port).Add("device", a.device).Add("model", a.model).Add("clock", a.clock);
    event.Add("image", a.image).Add("crc32", static_cast<long long>(a.crc32));
    event.Add("job", a.job).Add("jobChecksum", a.jobSum);
    a.serial ? event.Add("serial", static_cast<long long>(*a.serial)) : event.AddNull("serial");
    event.Add("serialState", a.serialState).Add("result", a.result).Add("exit", ExitOf(a));
    a.reportId ? event.Add("reportId", *a.reportId) : event.AddNull("reportId");
    event.Add("reportText", a.reportText);
    a.firstDifference ? event.Add("firstDifference", *a.firstDifference)
                      : event.AddNull("firstDifference");
    a.failedBlock ? event.Add("failedBlock", *a.failedBlock) : event.AddNull("failedBlock");
    context.console.Emit(event.Add("seconds", a.seconds));
    std::string line =
        a.started + "  " + Printable(a.station) + "  " + Printable(a.port) + "  " + a.result;
    if (!a.job.empty()) line += "  " + context.T("job %1 (%2)", {Printable(a.job), a.jobSum});
    if (a.serial) line += "  " + context.T("serial %1", {serial}) + " " + a.serialState;
    if (!a.reportText.empty()) line += "  " + Printable(a.reportText);
    context.console.Say(line);
  }
  if (o.csv && !WriteFileAtomically(PathFromUtf8(*o.csv), csv, &error)) {
    return context.Fail(kExitFile, context.T("cannot write %1: %2", {*o.csv, error}));
  }
  Json summary("summary");
  std::string line = attempts->empty()
                         ? context.T("no attempts")
                         : context.T("%1 attempts:", {std::to_string(attempts->size())});
  for (const auto& [result, count] : byResult) {
    summary.Add(result, count);
    line += " " + result + " " + std::to_string(count);
  }
  context.console.Emit(summary.Add("total", attempts->size()));
  context.console.Say(line);
  // What a station learned and could not yet hand to the store.
  std::vector<std::string> ids;
  for (const JournalEntry& entry : Journal::Peek(context.JournalFolder()))
    ids.push_back(entry.unit.unitId);
  if (!ids.empty()) {
    const auto recorded = store->Recorded(ids, error);
    std::size_t waiting = 0;
    for (std::size_t i = 0; recorded && i < ids.size(); ++i)
      waiting += (*recorded)[i] ? 0 : 1;
    if (waiting > 0) {
      context.console.Emit(Json("journal").Add("waiting", waiting));
      context.console.Error(
          std::string(kProgram) + ": " +
          context.T("%1 attempts wait in the journal %2: the next start of a "
                    "station records them",
                    {std::to_string(waiting), Utf8FromPath(context.JournalFolder())}));
    }
  }
  return kExitOk;
}

}  // namespace otp::cli
