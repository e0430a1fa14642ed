// report: one page of the batch for quality assurance, as PDF, PNG or HTML.

#include <QBuffer>
#include <QDateTime>
#include <QImage>

#include "cli/Commands.h"
#include "cli/Context.h"
#include "core/AtomicFile.h"
#include "core/Texts.h"
#include "core/Utf8Path.h"
#include "report/ReportPage.h"

namespace otp::cli {

namespace {

enum class PageFormat { kPdf, kPng, kHtml };

std::optional<PageFormat> FormatOf(const std::string& out) {
  const QString name = QString::fromStdString(out).toLower();
  if (name.endsWith(".pdf")) return PageFormat::kPdf;
  if (name.endsWith(".png")) return PageFormat::kPng;
  if (name.endsWith(".html") || name.endsWith(".htm")) return PageFormat::kHtml;
  return std::nullopt;
}

}  // namespace

int RunReport(Context& context) {
  const Options& o = context.options;
  const std::string& out = o.arguments.front();
  const auto format = FormatOf(out);
  if (!format) {
    return context.Fail(kExitUsage, context.T("report %1: OUT ends in .pdf, .png or .html", {out}));
  }
  const std::string why = WritableFolderError(PathFromUtf8(out));
  if (!why.empty()) return context.Fail(kExitFile, context.T("cannot write %1: %2", {out, why}));
  auto store = context.OpenStore(ProductionStore::Access::kRead);
  if (!store) return kExitFile;
  AttemptFilter filter;
  filter.since = o.since.value_or("");
  filter.until = o.until.value_or("");
  filter.job = o.job.value_or("");
  filter.station = o.station.value_or("");
  filter.lot = o.lot.value_or("");
  StoreError storeError;
  const auto figures = store->Figures(filter, storeError);
  if (!figures) {
    return context.Fail(kExitFile, context.T("the production store: %1", {storeError.text}));
  }
  const report::ReportContext page = report::ContextOf(filter, store->Location(), context.language);
  std::string bytes;
  switch (*format) {
    case PageFormat::kPdf:
      bytes = report::Pdf(*figures, page, context.language).toStdString();
      break;
    case PageFormat::kPng: {
      QByteArray png;
      QBuffer buffer(&png);
      buffer.open(QIODevice::WriteOnly);
      report::Png(*figures, page, context.language).save(&buffer, "PNG");
      bytes = png.toStdString();
      break;
    }
    case PageFormat::kHtml:
      bytes = report::Html(*figures, page, context.language);
      break;
  }
  std::string error;
  if (!WriteFileAtomically(PathFromUtf8(out), bytes, &error)) {
    return context.Fail(kExitFile, context.T("cannot write %1: %2", {out, error}));
  }
  // Each outcome's count, port problems too (they are no unit); failed and the yield are
  // over the parts written, whatever ended them.
  const UnitCounts& counts = figures->counts;
  Json event("report");
  event.Add("file", out)
      .Add("units", figures->units)
      .Add("written", counts.written())
      .Add("passed", counts.passed())
      .Add("failed", counts.failed())
      .Add("notWritten", figures->units - counts.written());
  if (const auto yield = counts.YieldPercent()) {
    event.AddRaw("yield", Decimal(*yield, 1));
  } else {
    event.AddNull("yield");
  }
  context.console.Emit(event.AddRaw("outcomes", OutcomeCountsJson(counts.outcomes))
                           .AddRaw("notWrittenByOutcome", OutcomeCountsJson(counts.notWritten))
                           .AddRaw("readings", ReadingCountsJson(figures->readings)));
  context.console.Say(
      context.T("the report of %1 units is in %2", {std::to_string(figures->units), out}));
  return kExitOk;
}

}  // namespace otp::cli
