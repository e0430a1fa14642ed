// log: the recorded attempts, as rows, JSON or CSV. It only reads: the store is never
// made, upgraded or changed by it.

#include <cstdio>
#include <map>
#include <optional>

#include "cli/Commands.h"
#include "cli/Context.h"
#include "core/AtomicFile.h"
#include "core/Texts.h"
#include "core/Utf8Path.h"
#include "ops/Messages.h"

namespace otp::cli {

namespace {

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
  return Context::ExitStatusOf(a.verdict);
}

const char* StateOf(const Attempt& a) {
  return a.serialState ? SerialStateName(*a.serialState) : "";
}

}  // namespace

void ShowJournals(Context& context, RecordStore& store);

int RunLog(Context& context) {
  const Options& o = context.options;
  auto store = context.OpenStore(ProductionStore::Access::kRead);
  if (!store) return kExitFile;
  StoreError error;
  AttemptFilter filter;
  filter.since = o.since.value_or("");
  filter.until = o.until.value_or("");
  filter.job = o.job.value_or("");
  filter.station = o.station.value_or("");
  filter.lot = o.lot.value_or("");
  // Rows go out as they are read: a million of them take the memory of one page.
  std::optional<AtomicFile> csv;
  if (o.csv) {
    csv.emplace(PathFromUtf8(*o.csv));
    csv->Write(
        "started,ended,station,port,device,model,clock,image,crc32,job,job_checksum,lot,serial,"
        "serial_state,result,outcome,exit_status,report_id,report_text,first_difference,"
        "failed_block,seconds,reading,corrected\n");
  }
  std::map<std::string, int> byResult;
  std::size_t total = 0;
  const bool read = store->ForEachAttempt(
      filter,
      [&](const Attempt& a) {
        ++total;
        ++byResult[OutcomeName(a.outcome)];
        const std::string serial = a.serial ? std::to_string(*a.serial) : "";
        if (csv) {
          const std::string difference = a.firstDifference ? "0x" + Hex(*a.firstDifference, 4) : "";
          const std::string block = a.failedBlock ? "0x" + Hex(*a.failedBlock, 4) : "";
          return csv->Write(Cell(a.started) + "," + Cell(a.ended) + "," + Cell(a.station) + "," +
                            Cell(a.port) + "," + Cell(a.device) + "," + Cell(a.model) + "," +
                            Cell(a.clock) + "," + Cell(a.image) + ",0x" + Hex(a.crc32, 8) + "," +
                            Cell(a.job) + "," + Cell(a.jobSum) + "," + Cell(a.lot) + "," + serial +
                            "," + Cell(StateOf(a)) + "," + Cell(a.ResultName()) + "," +
                            Cell(OutcomeName(a.outcome)) + "," + std::to_string(ExitOf(a)) + "," +
                            (a.reportId ? std::to_string(*a.reportId) : "") + "," +
                            Cell(a.reportText) + "," + difference + "," + block + "," +
                            Decimal(a.seconds, 1) + "," + ReadModeName(a.reading) + "," +
                            (a.corrected ? OutcomeName(*a.corrected) : "") + "\n");
        }
        Json event("attempt");
        event.Add("started", a.started).Add("ended", a.ended).Add("station", a.station);
        event.Add("port", a.port).Add("device", a.device).Add("model", a.model);
        event.Add("clock", a.clock).Add("image", a.image);
        event.Add("crc32", static_cast<long long>(a.crc32));
        event.Add("job", a.job).Add("jobChecksum", a.jobSum).Add("lot", a.lot);
        a.lotPlace ? event.Add("lotPlace", static_cast<long long>(*a.lotPlace))
                   : event.AddNull("lotPlace");
        a.serial ? event.Add("serial", static_cast<long long>(*a.serial)) : event.AddNull("serial");
        event.Add("serialState", StateOf(a)).Add("result", a.ResultName());
        event.Add("outcome", OutcomeName(a.outcome)).Add("exit", ExitOf(a));
        a.reportId ? event.Add("reportId", *a.reportId) : event.AddNull("reportId");
        event.Add("reportText", a.reportText);
        a.firstDifference ? event.Add("firstDifference", *a.firstDifference)
                          : event.AddNull("firstDifference");
        a.failedBlock ? event.Add("failedBlock", *a.failedBlock) : event.AddNull("failedBlock");
        event.Add("reading", ReadModeName(a.reading)).Add("guess", a.guess);
        a.corrected ? event.Add("corrected", OutcomeName(*a.corrected))
                    : event.AddNull("corrected");
        context.console.Emit(event.Add("seconds", a.seconds));
        std::string line = a.started + "  " + Printable(a.station) + "  " + Printable(a.port) +
                           "  " + OutcomeWord(a.outcome, context.language);
        if (!a.job.empty()) {
          line += "  " + context.T("job %1 (%2)", {Printable(a.job), Printable(a.jobSum)});
        }
        if (!a.lot.empty()) line += "  " + context.T("lot %1", {Printable(a.lot)});
        if (a.serial) line += "  " + context.T("serial %1", {serial}) + " " + StateOf(a);
        if (!a.reportText.empty()) line += "  " + Printable(a.reportText);
        if (a.guess) line += "  " + context.T("(a guess: its station has not said more)");
        if (a.corrected) {
          line += "  " + context.T(
                             "(corrected: it was recorded as %1 before its station said "
                             "more)",
                             {OutcomeWord(*a.corrected, context.language)});
        }
        context.console.Say(line);
        return true;
      },
      error);
  if (!read) {
    return context.Fail(kExitFile, context.T("the production store: %1", {error.text}));
  }
  if (csv && !csv->Commit()) {
    return context.Fail(kExitFile, context.T("cannot write %1: %2", {*o.csv, csv->error()}));
  }
  Json summary("summary");
  std::string line =
      total == 0 ? context.T("no attempts") : context.T("%1 attempts:", {std::to_string(total)});
  for (const auto& [result, count] : byResult) {
    summary.Add(result, count);
    line += " " + result + " " + std::to_string(count);
  }
  context.console.Emit(summary.Add("total", total));
  // With --csv the rows are in the file: standard output stays quiet.
  if (!csv) context.console.Say(line);
  ShowJournals(context, *store);
  return kExitOk;
}

// What the journals beside the store hold that the store does not, and what lies there
// that is no journal.
void ShowJournals(Context& context, RecordStore& store) {
  std::vector<Journal::Skipped> skipped;
  std::vector<Journal::SetAside> setAside;
  std::vector<Journal::SetAside> damaged;
  std::vector<std::string> ids;
  std::string folders;
  for (const std::filesystem::path& folder : context.JournalFolders(store)) {
    const std::size_t before = ids.size();
    for (const JournalEntry& entry : Journal::Peek(folder, &skipped, &setAside, &damaged))
      ids.push_back(entry.unit.unitId);
    if (ids.size() > before) folders += (folders.empty() ? "" : ", ") + Utf8FromPath(folder);
  }
  for (const Journal::Skipped& item : skipped) {
    context.console.Emit(Json("skipped").Add("file", Utf8FromPath(item.file)));
    context.console.Error(std::string(kProgram) + ": " +
                          Printable(SkippedJournalText(item, context.language)));
  }
  for (const Journal::SetAside& item : setAside) {
    if (item.damage) {
      context.console.Emit(Json("damaged")
                               .Add("file", Utf8FromPath(item.file))
                               .Add("line", item.damage->line)
                               .Add("setAside", true));
      context.console.Error(
          std::string(kProgram) + ": " +
          Printable(DamagedJournalFoundText(item.file, *item.damage, true, context.language)));
      continue;
    }
    context.console.Emit(
        Json("setAside").Add("file", Utf8FromPath(item.file)).Add("units", item.units.size()));
    context.console.Error(std::string(kProgram) + ": " +
                          Printable(SetAsideText(item.file, item.units.size(), context.language)));
  }
  for (const Journal::SetAside& item : damaged) {
    context.console.Emit(Json("damaged")
                             .Add("file", Utf8FromPath(item.file))
                             .Add("line", item.damage->line)
                             .Add("setAside", false));
    context.console.Error(
        std::string(kProgram) + ": " +
        Printable(DamagedJournalFoundText(item.file, *item.damage, false, context.language)));
  }
  if (ids.empty()) return;
  StoreError error;
  const auto recorded = store.Recorded(ids, error);
  std::size_t waiting = 0;
  for (std::size_t i = 0; recorded && i < ids.size(); ++i)
    waiting += (*recorded)[i] ? 0 : 1;
  if (waiting == 0) return;
  context.console.Emit(Json("journal").Add("waiting", waiting));
  context.console.Error(std::string(kProgram) + ": " +
                        context.T("%1 attempts wait in the journal %2: the next start of a "
                                  "station records them",
                                  {std::to_string(waiting), folders}));
}

}  // namespace otp::cli
