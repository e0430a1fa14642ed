#include "report/ReportModel.h"

#include <QDateTime>
#include <QString>
#include <map>
#include <set>

#include "core/Texts.h"
#include "ops/Messages.h"
#include "report/ReportPage.h"

namespace otp::report {

namespace {

std::string Percent(int part, int whole) {
  return whole > 0 ? Decimal(100.0 * part / whole, 1) + " %" : std::string("-");
}

// "2026-12-07T14:03:00Z" as a reader reads it, in UTC: "2026-12-07 14:03".
std::string Moment(const std::string& iso) {
  const QDateTime time = QDateTime::fromString(QString::fromStdString(iso), Qt::ISODate);
  return time.isValid() ? time.toUTC().toString("yyyy-MM-dd HH:mm").toStdString() : iso;
}

// What the units of a setup read of the part, in English (the key of its translation).
std::string_view ReadingWords(ReadMode reading) {
  return reading == ReadMode::kImage ? "the image's blocks only" : "the whole OTP area";
}

// A reason as its reader reads it: the catalogue's words for its number, in the reader's
// language, else the text as it was recorded.
std::string ReasonText(const BatchFigures::Reason& reason, Language language) {
  if (reason.id) {
    const std::string text = LoadString(*reason.id, language);
    if (!text.empty()) return QString::fromStdString(text).trimmed().toStdString();
  }
  return reason.text;
}

// Units an hour over the clock hours that had units, once the batch spans ten minutes of
// work: a few minutes say nothing of a rate.
std::string PerHour(const BatchFigures& f) {
  const QDateTime first = QDateTime::fromString(QString::fromStdString(f.first), Qt::ISODate);
  const QDateTime last = QDateTime::fromString(QString::fromStdString(f.last), Qt::ISODate);
  if (!first.isValid() || !last.isValid() || first.secsTo(last) < 600) return "-";
  return Decimal(f.units / static_cast<double>(std::max(1, f.activeHours)), 1);
}

// The units that wrote no part, by outcome: "stopped 3, board gone 1". Port problems
// follow, apart: they are no unit.
std::string More(Language language, std::size_t more) {
  return more > 0 ? Tr(language, "and %1 more", {std::to_string(more)}) : std::string();
}

}  // namespace

ReportModel BuildReport(const BatchFigures& f, const ReportContext& context, Language language) {
  auto T = [language](std::string_view english,
                      std::initializer_list<std::string_view> values = {}) {
    return Tr(language, english, values);
  };
  ReportModel m;
  m.title = T("Batch report");
  m.made = T("made %1", {context.generated});
  m.store = context.store;
  m.period = T("Period: %1", {context.period});
  m.selection = context.selection;
  m.empty = f.units == 0;
  m.emptyText = T("No attempts in this period");
  m.footer =
      T("Every figure comes from the production store's records, as otpwriter-cli log shows "
        "them for the same period.");
  if (m.empty) return m;
  m.span = T("first unit %1, last %2 (UTC)", {Moment(f.first), Moment(f.last)});

  // What was burned where: each station with its ports, by name.
  m.stationsLabel = T("Stations and ports: %1", {""});
  std::map<std::string, std::set<std::string>> stations;
  for (const BatchFigures::Port& port : f.ports)
    stations[port.station].insert(port.port);
  for (const auto& [station, ports] : stations) {
    std::string list;
    for (const std::string& port : ports)
      list += (list.empty() ? "" : ", ") + port;
    m.stations.push_back(station + " (" + list + ")");
  }
  for (std::size_t i = 0; i < f.setups.size() && i < ReportModel::kSetups; ++i) {
    const BatchFigures::Setup& s = f.setups[i];
    const std::string job = s.job.empty() ? T("no job") : T("job %1 (%2)", {s.job, s.jobSum});
    m.setups.push_back({job + "   " + s.model + "  " + s.clock + "   " + s.image + "  CRC-32 0x" +
                            Hex(s.crc32, 8) + "   " +
                            T("read: %1", {Tr(language, ReadingWords(s.reading))}),
                        T("%1 units", {std::to_string(s.units)})});
  }
  m.moreSetups = More(language, f.setupCount > static_cast<int>(m.setups.size())
                                    ? static_cast<std::size_t>(f.setupCount) - m.setups.size()
                                    : 0);

  using Tone = ReportModel::Total::Tone;
  m.totals = {
      {T("Units"), std::to_string(f.units), Tone::kInk},
      {T("Passed"), std::to_string(f.counts.passed()), Tone::kPass},
      {T("Failed"), std::to_string(f.counts.failed()),
       f.counts.failed() > 0 ? Tone::kFail : Tone::kInk},
      {T("No part written"), std::to_string(f.units - f.counts.written()), Tone::kInk},
      {T("Yield"), Percent(f.counts.passed(), f.counts.written()), Tone::kInk},
      {T("Units per hour"), PerHour(f), Tone::kInk},
  };
  m.notWritten = NotWrittenText(f.counts, language);
  m.yieldNote = T("yield: passed over the units that wrote a part");
  m.perHourNote =
      T("units per hour over the hours with units (%1)", {std::to_string(f.activeHours)});

  m.serialsHeading = T("Serial numbers");
  ReportModel::Numbers used{T("Used: %1 numbers", {std::to_string(f.usedNumbers)}), {}, 0, 4};
  for (const BatchFigures::Range& range : f.used) {
    if (used.items.size() == ReportModel::kNumbers) break;
    const std::string prefix = f.nextFree.size() > 1 ? range.counter + " " : std::string();
    used.items.push_back(
        prefix + (range.first == range.last
                      ? std::to_string(range.first)
                      : std::to_string(range.first) + "\u2013" + std::to_string(range.last)));
  }
  used.more = f.usedRanges - static_cast<int>(used.items.size());
  auto list = [](std::string label, const std::vector<std::uint64_t>& all, int count) {
    ReportModel::Numbers numbers{std::move(label), {}, 0, 2};
    for (std::size_t i = 0; i < all.size() && i < ReportModel::kNumbers; ++i)
      numbers.items.push_back(std::to_string(all[i]));
    numbers.more = count - static_cast<int>(numbers.items.size());
    return numbers;
  };
  for (ReportModel::Numbers group :
       {used,
        list(T("Spoiled: %1", {std::to_string(f.spoiledNumbers)}), f.spoiled, f.spoiledNumbers),
        list(T("Released, waiting to be issued again: %1", {std::to_string(f.releasedNumbers)}),
             f.released, f.releasedNumbers)}) {
    if (!group.items.empty() || group.more > 0) m.numbers.push_back(std::move(group));
  }
  for (std::size_t i = 0; i < f.nextFree.size() && i < ReportModel::kNextFree; ++i) {
    const BatchFigures::NextFree& free = f.nextFree[i];
    m.nextFree.push_back(
        T("Next free number of %1: %2",
          {free.counter, free.next ? std::to_string(*free.next) : T("none left")}));
  }
  m.moreNextFree = More(language, f.nextFree.size() - m.nextFree.size());
  if (f.usedNumbers + f.spoiledNumbers + f.releasedNumbers == 0)
    m.noNumbers = T("no serial numbers");

  m.reasonsHeading = T("Failure reasons");
  int others = f.otherReasons;
  for (std::size_t i = 0; i < f.reasons.size(); ++i) {
    if (i < ReportModel::kReasons) {
      m.reasons.push_back({std::to_string(f.reasons[i].count), ReasonText(f.reasons[i], language)});
    } else {
      others += f.reasons[i].count;
    }
  }
  if (others > 0)
    m.otherReasons = T("and %1 more units for other reasons", {std::to_string(others)});
  if (f.reasons.empty()) m.noReasons = T("no unit failed");

  m.chartHeading = T("Units per hour");
  m.mapHeading = T("Memory map of failures");
  m.portsHeading = T("Ports, the worst first");
  m.portHeader = {T("Port"), T("Passed"), T("Failed"), T("Yield")};
  for (std::size_t i = 0; i < f.ports.size() && i < ReportModel::kPorts; ++i) {
    const BatchFigures::Port& p = f.ports[i];
    m.ports.push_back({p.station + "  " + p.port, std::to_string(p.passed),
                       std::to_string(p.failed), Percent(p.passed, p.passed + p.failed),
                       p.failed > 0});
  }
  if (f.ports.size() > m.ports.size()) {
    m.morePorts = T("and %1 more ports", {std::to_string(f.ports.size() - m.ports.size())});
  }
  return m;
}

}  // namespace otp::report
