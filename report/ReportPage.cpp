#include "report/ReportPage.h"

#include <QBuffer>
#include <QDateTime>
#include <QFontMetricsF>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QTimeZone>
#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "core/Texts.h"
#include "ops/Messages.h"

namespace otp::report {

namespace {

const QColor kInk(0x1A, 0x1A, 0x1A);
const QColor kQuiet(0x60, 0x60, 0x60);
const QColor kRule(0xB8, 0xBC, 0xC2);
const QColor kPass(0x2E, 0x8B, 0x47);
const QColor kFail(0xC6, 0x28, 0x28);
const QColor kPanel(0xF2, 0xF4, 0xF7);

constexpr double kLeft = 150;
constexpr double kRight = kPageWidth - 150;
constexpr double kWidth = kRight - kLeft;

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

// What the units of a setup read of the part, in English (the key of its translation).
std::string_view ReadingWords(ReadMode reading) {
  return reading == ReadMode::kImage ? "the image's blocks only" : "the whole OTP area";
}

QFont FontOf(double size, bool bold) {
  QFont font;
  // One face for Latin letters and digits on every line, Japanese from a proportional
  // face where the system has one.
  font.setFamilies({"DejaVu Sans", "IPAPGothic", "Noto Sans CJK JP"});
  font.setPixelSize(std::max(1, static_cast<int>(std::lround(size))));
  font.setBold(bold);
  font.setHintingPreference(QFont::PreferNoHinting);
  return font;
}

// Layout on a page: each text fits its box, elided when it must be.
class Page {
 public:
  explicit Page(Language language) : language_(language) {}
  std::string T(std::string_view english,
                std::initializer_list<std::string_view> values = {}) const {
    return Tr(language_, english, values);
  }
  void Box(const QRectF& rect, QColor fill, QColor stroke = Qt::transparent) {
    Shape shape;
    shape.kind = Shape::Kind::kBox;
    shape.rect = rect;
    shape.fill = fill;
    shape.stroke = stroke;
    shapes.push_back(shape);
  }
  void Line(double x1, double y1, double x2, double y2, QColor colour = kRule) {
    Shape shape;
    shape.kind = Shape::Kind::kLine;
    shape.rect = QRectF(QPointF(x1, y1), QPointF(x2, y2));
    shape.stroke = colour;
    shapes.push_back(shape);
  }
  // A text in `rect`, elided to its width.
  void Text(const QRectF& rect, const QString& text, double size, bool bold = false,
            int align = Qt::AlignLeft | Qt::AlignVCenter, QColor colour = kInk) {
    Shape shape;
    shape.kind = Shape::Kind::kText;
    shape.rect = rect;
    shape.text = QFontMetricsF(FontOf(size, bold)).elidedText(text, Qt::ElideRight, rect.width());
    shape.size = size;
    shape.bold = bold;
    shape.align = align;
    shape.stroke = colour;
    shapes.push_back(shape);
  }
  // A figure in `rect`: smaller where it must be to show every digit, never elided.
  void Figure(const QRectF& rect, const QString& text, double size, int align, QColor colour) {
    const double wide = Advance(text, size, true);
    if (wide > rect.width()) size = std::max(8.0, std::floor(size * rect.width() / wide));
    Text(rect, text, size, true, align, colour);
  }
  double Advance(const QString& text, double size, bool bold = false) const {
    return QFontMetricsF(FontOf(size, bold)).horizontalAdvance(text);
  }
  // `items` joined by `separator` in lines of `width`, at most `lines` of them; when not
  // all fit, the last line ends by saying how many more there are (with `more` besides).
  std::vector<QString> Wrap(const std::vector<QString>& items, double width, double size, int lines,
                            int more, const QString& separator = ", ") const {
    std::vector<std::vector<QString>> rows(1);
    auto text = [&separator](const std::vector<QString>& row) {
      return QStringList(row.begin(), row.end()).join(separator);
    };
    std::size_t shown = 0;
    for (; shown < items.size(); ++shown) {
      std::vector<QString> row = rows.back();
      row.push_back(items[shown]);
      if (rows.back().empty() || Advance(text(row), size) <= width) {
        rows.back() = std::move(row);
      } else if (static_cast<int>(rows.size()) < lines) {
        rows.push_back({items[shown]});
      } else {
        break;
      }
    }
    auto tail = [&] {
      const int left = static_cast<int>(items.size() - shown) + more;
      return left > 0 ? Q(T(" and %1 more", {std::to_string(left)})) : QString();
    };
    while (!tail().isEmpty() && rows.back().size() > 1 &&
           Advance(text(rows.back()) + tail(), size) > width) {
      rows.back().pop_back();
      --shown;
    }
    std::vector<QString> out;
    for (const auto& row : rows)
      out.push_back(text(row));
    out.back() += tail();
    return out;
  }

  Shapes shapes;

 private:
  Language language_;
};

QString Percent(int part, int whole) {
  return whole > 0 ? QString::number(100.0 * part / whole, 'f', 1) + " %" : QString("-");
}

// "2026-12-07T14:03:00Z" as a reader reads it, in UTC: "2026-12-07 14:03".
QString Moment(const std::string& iso) {
  const QDateTime time = QDateTime::fromString(Q(iso), Qt::ISODate);
  return time.isValid() ? time.toUTC().toString("yyyy-MM-dd HH:mm") : Q(iso);
}

// A reason as its reader reads it: the catalogue's words for its number, in the reader's
// language, else the text as it was recorded.
QString ReasonText(const BatchFigures::Reason& reason, Language language) {
  if (reason.id) {
    const std::string text = LoadString(*reason.id, language);
    if (!text.empty()) return Q(text).trimmed();
  }
  return Q(reason.text);
}

// Units an hour over the clock hours that had units, once the batch spans ten minutes of
// work: a few minutes say nothing of a rate.
QString PerHour(const BatchFigures& f) {
  const QDateTime first = QDateTime::fromString(Q(f.first), Qt::ISODate);
  const QDateTime last = QDateTime::fromString(Q(f.last), Qt::ISODate);
  if (!first.isValid() || !last.isValid() || first.secsTo(last) < 600) return "-";
  return QString::number(f.units / static_cast<double>(std::max(1, f.activeHours)), 'f', 1);
}

// The units that wrote no part, by outcome: "stopped 3, board gone 1".
// Port problems follow, apart: they are no unit.
std::string NotWritten(const BatchFigures& f, Language language) {
  std::string text;
  for (const UnitOutcome outcome : {UnitOutcome::kStopped, UnitOutcome::kAlreadyProgrammed,
                                    UnitOutcome::kWrongPart, UnitOutcome::kBoardGone}) {
    const int count = f.outcomes[static_cast<std::size_t>(outcome)];
    if (count == 0) continue;
    text +=
        (text.empty() ? "" : ", ") + OutcomeWord(outcome, language) + " " + std::to_string(count);
  }
  const int portProblems = f.outcomes[static_cast<std::size_t>(UnitOutcome::kPortProblem)];
  if (portProblems > 0) {
    text += (text.empty() ? "" : "; ") +
            Tr(language, "%1 %2 (no unit)",
               {OutcomeWord(UnitOutcome::kPortProblem, language), std::to_string(portProblems)});
  }
  return text;
}

int NotInYield(const BatchFigures& f) {
  return f.units - f.passed - f.failed;
}

void Heading(Page& page, double y, double x, double width, const std::string& text) {
  page.Text(QRectF(x, y, width, 50), Q(text), 34, true);
  page.Line(x, y + 56, x + width, y + 56);
}

}  // namespace

Shapes LayoutChart(const std::vector<BatchFigures::Hour>& hours, const QRectF& area,
                   Language language) {
  Page page(language);
  if (hours.empty()) return page.shapes;
  const auto parse = [](const std::string& hour) {
    QDateTime time = QDateTime::fromString(Q(hour), "yyyy-MM-ddTHH");
    time.setTimeZone(QTimeZone::utc());
    return time;
  };
  const QDateTime first = parse(hours.front().hour);
  const QDateTime last = parse(hours.back().hour);
  const qint64 span = std::max<qint64>(1, first.secsTo(last) / 3600 + 1);
  // Buckets of whole hours, at most 48 across the period.
  qint64 bucket = 1;
  for (const qint64 size : {1, 2, 3, 4, 6, 12, 24, 48, 72, 168, 336, 720}) {
    bucket = size;
    if ((span + size - 1) / size <= 48) break;
  }
  const qint64 count = (span + bucket - 1) / bucket;
  std::vector<double> passed(static_cast<std::size_t>(count)), failed(passed.size());
  for (const BatchFigures::Hour& hour : hours) {
    const qint64 index = first.secsTo(parse(hour.hour)) / 3600 / bucket;
    if (index < 0 || index >= count) continue;
    passed[static_cast<std::size_t>(index)] += hour.passed;
    failed[static_cast<std::size_t>(index)] += hour.failed;
  }
  double top = 1;
  for (std::size_t i = 0; i < passed.size(); ++i) {
    passed[i] /= bucket;  // units per hour within the bucket
    failed[i] /= bucket;
    top = std::max(top, passed[i] + failed[i]);
  }
  // A round top for the scale: 1, 2 or 5 times a power of ten.
  const double power = std::pow(10.0, std::floor(std::log10(top)));
  double scale = power;
  for (const double step : {1.0, 2.0, 5.0, 10.0}) {
    scale = step * power;
    if (scale >= top) break;
  }
  const double legend = 44;
  const double axis = 120;   // room for the numbers on the left
  const double labels = 50;  // room for the times below
  const QRectF plot(area.left() + axis, area.top() + legend + 10, area.width() - axis - 10,
                    area.height() - legend - labels - 20);
  page.Box(QRectF(area.left(), area.top(), 32, 32), kPass);
  page.Text(QRectF(area.left() + 44, area.top(), 400, 32), Q(page.T("passed")), 26);
  page.Box(QRectF(area.left() + 450, area.top(), 32, 32), kFail);
  page.Text(QRectF(area.left() + 494, area.top(), 400, 32), Q(page.T("failed")), 26);
  page.Text(QRectF(area.right() - 700, area.top(), 700, 32),
            Q(bucket == 1 ? page.T("units in each hour")
                          : page.T("units per hour, each bar %1 hours", {std::to_string(bucket)})),
            24, false, Qt::AlignRight | Qt::AlignVCenter, kQuiet);
  for (int tick = 0; tick <= 2; ++tick) {
    const double y = plot.bottom() - plot.height() * tick / 2;
    page.Line(plot.left(), y, plot.right(), y, tick == 0 ? kQuiet : kRule);
    page.Text(QRectF(area.left(), y - 20, axis - 16, 40), QString::number(scale * tick / 2, 'g', 4),
              24, false, Qt::AlignRight | Qt::AlignVCenter, kQuiet);
  }
  const double slot = plot.width() / static_cast<double>(count);
  for (qint64 i = 0; i < count; ++i) {
    const std::size_t k = static_cast<std::size_t>(i);
    const double w = std::clamp(slot * 0.7, 1.0, 90.0);  // a lone bar stays a bar
    const double x = plot.left() + slot * static_cast<double>(i) + (slot - w) / 2;
    const double pass = plot.height() * passed[k] / scale;
    const double fail = plot.height() * failed[k] / scale;
    if (pass > 0) page.Box(QRectF(x, plot.bottom() - pass, w, pass), kPass);
    if (fail > 0) page.Box(QRectF(x, plot.bottom() - pass - fail, w, fail), kFail);
  }
  // A few times along the bottom, each under its bar, where they do not crowd each other.
  const QString format = bucket >= 24 ? "MM-dd" : "MM-dd HH:00";
  const double labelWidth = page.Advance(first.toString(format), 22) + 30;
  const qint64 every = std::max<qint64>(1, static_cast<qint64>(std::ceil(labelWidth / slot)));
  for (qint64 i = 0; i < count; i += every) {
    const double centre = plot.left() + slot * (static_cast<double>(i) + 0.5);
    const double x = std::max(area.left(), centre - labelWidth / 2);
    if (x + labelWidth > area.right() + 1) break;
    page.Text(QRectF(x, plot.bottom() + 8, labelWidth, 40),
              first.addSecs(i * bucket * 3600).toString(format), 22, false, Qt::AlignCenter,
              kQuiet);
  }
  return page.shapes;
}

Shapes LayoutBlockMap(const std::array<int, 64>& blocks, const QRectF& area, Language language) {
  Page page(language);
  const double rowLabels = 110;
  const double top = 40;  // the column numbers
  const double legend = 60;
  const double cell = std::min((area.width() - rowLabels) / 16, (area.height() - top - legend) / 4);
  const int most = std::max(1, *std::max_element(blocks.begin(), blocks.end()));
  const QString rows[] = {"C000", "D000", "E000", "F000"};
  for (int column = 0; column < 16; ++column) {
    page.Text(QRectF(area.left() + rowLabels + column * cell, area.top(), cell, top - 6),
              QString::number(column, 16).toUpper(), 22, false, Qt::AlignCenter, kQuiet);
  }
  for (int row = 0; row < 4; ++row) {
    const double y = area.top() + top + row * cell;
    page.Text(QRectF(area.left(), y, rowLabels - 12, cell), rows[row], 22, false,
              Qt::AlignRight | Qt::AlignVCenter, kQuiet);
    for (int column = 0; column < 16; ++column) {
      const int count = blocks[static_cast<std::size_t>(row * 16 + column)];
      // White for none, then deeper red for more.
      const double share = count == 0 ? 0 : 0.25 + 0.75 * count / most;
      const QColor shade =
          QColor::fromRgbF(1.0 - 0.22 * share, 1.0 - 0.84 * share, 1.0 - 0.84 * share);
      const QRectF box(area.left() + rowLabels + column * cell, y, cell - 3, cell - 3);
      page.Box(box, shade, kRule);
      if (count > 0) {
        page.Figure(box.adjusted(2, 0, -2, 0), QString::number(count), std::min(26.0, cell * 0.42),
                    Qt::AlignCenter, share > 0.6 ? Qt::white : kInk);
      }
    }
  }
  const double y = area.top() + top + 4 * cell + 16;
  page.Text(QRectF(area.left() + rowLabels, y, area.width() - rowLabels, legend - 16),
            Q(page.T("a cell a 256-byte block: the units that failed in it")), 20, false,
            Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
  return page.shapes;
}

Shapes LayoutRun(const BatchFigures& f, const QSizeF& size, Language language) {
  Page page(language);
  const double gap = 40;
  const double chartHeight = std::max(300.0, size.height() * 0.5);
  Heading(page, 0, 0, size.width(), page.T("Units per hour"));
  if (f.units == 0) {
    page.Text(QRectF(0, 76, size.width(), 60), Q(page.T("No attempts in this period")), 30, false,
              Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
  }
  for (const Shape& shape :
       LayoutChart(f.hours, QRectF(0, 76, size.width(), chartHeight - 76), language))
    page.shapes.push_back(shape);
  const double y = chartHeight + gap;
  const double column = (size.width() - gap) / 2;
  Heading(page, y, 0, column, page.T("Memory map of failures"));
  for (const Shape& shape :
       LayoutBlockMap(f.blocks, QRectF(0, y + 76, column, size.height() - y - 76), language))
    page.shapes.push_back(shape);
  const double right = column + gap;
  Heading(page, y, right, column, page.T("Failure reasons"));
  double line = y + 76;
  for (const BatchFigures::Reason& reason : f.reasons) {
    if (line + 40 > size.height()) break;
    page.Text(QRectF(right, line, 100, 36), QString::number(reason.count), 26, true,
              Qt::AlignRight | Qt::AlignVCenter, kFail);
    page.Text(QRectF(right + 120, line, column - 120, 36), ReasonText(reason, language), 26);
    line += 40;
  }
  if (f.reasons.empty()) {
    page.Text(QRectF(right, line, column, 36), Q(page.T("no unit failed")), 26, false,
              Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
  }
  return page.shapes;
}

Shapes LayoutPage(const BatchFigures& f, const ReportContext& context, Language language) {
  Page page(language);
  auto T = [&page](std::string_view english, std::initializer_list<std::string_view> values = {}) {
    return Q(page.T(english, values));
  };
  page.Text(QRectF(kLeft, 120, kWidth * 0.6, 100), T("Batch report"), 80, true);
  page.Text(QRectF(kLeft + kWidth * 0.6, 130, kWidth * 0.4, 40), T("made %1", {context.generated}),
            24, false, Qt::AlignRight | Qt::AlignVCenter, kQuiet);
  page.Text(QRectF(kLeft + kWidth * 0.6, 170, kWidth * 0.4, 40), Q(context.store), 24, false,
            Qt::AlignRight | Qt::AlignVCenter, kQuiet);
  page.Text(QRectF(kLeft, 240, kWidth, 44), T("Period: %1", {context.period}), 32);
  if (f.units > 0) {
    page.Text(QRectF(kLeft + kWidth * 0.55, 240, kWidth * 0.45, 44),
              T("first unit %1, last %2 (UTC)",
                {Moment(f.first).toStdString(), Moment(f.last).toStdString()}),
              24, false, Qt::AlignRight | Qt::AlignVCenter, kQuiet);
  }
  if (!context.selection.empty())
    page.Text(QRectF(kLeft, 290, kWidth, 40), Q(context.selection), 28);
  page.Line(kLeft, 345, kRight, 345, kQuiet);
  if (f.units == 0) {
    page.Text(QRectF(kLeft, 1200, kWidth, 120), T("No attempts in this period"), 64, true,
              Qt::AlignCenter, kQuiet);
    return page.shapes;
  }

  // What was burned where: each station with its ports, by name.
  std::map<QString, std::set<QString>> stations;
  for (const BatchFigures::Port& port : f.ports)
    stations[Q(port.station)].insert(Q(port.port));
  std::vector<QString> where;
  for (const auto& [station, ports] : stations) {
    where.push_back(station + " (" + QStringList(ports.begin(), ports.end()).join(", ") + ")");
  }
  const QString label = T("Stations and ports: %1", {""});
  const double indent = page.Advance(label, 26);
  double y = 365;
  page.Text(QRectF(kLeft, y, indent + 10, 38), label, 26);
  for (const QString& text : page.Wrap(where, kWidth - indent, 26, 2, 0, ";  ")) {
    page.Text(QRectF(kLeft + indent, y, kWidth - indent, 38), text, 26);
    y += 40;
  }
  for (std::size_t i = 0; i < f.setups.size() && i < 4; ++i) {
    const BatchFigures::Setup& s = f.setups[i];
    const QString job = s.job.empty() ? T("no job") : T("job %1 (%2)", {s.job, s.jobSum});
    page.Text(QRectF(kLeft, y, kWidth - 260, 38),
              job + "   " + Q(s.model) + "  " + Q(s.clock) + "   " + Q(s.image) + "  CRC-32 0x" +
                  Q(otp::Hex(s.crc32, 8)) + "   " +
                  T("read: %1", {page.T(ReadingWords(s.reading))}),
              26);
    page.Text(QRectF(kRight - 250, y, 250, 38), T("%1 units", {std::to_string(s.units)}), 26, false,
              Qt::AlignRight | Qt::AlignVCenter);
    y += 40;
  }
  if (f.setupCount > 4) {
    page.Text(QRectF(kLeft, y, kWidth, 38), T("and %1 more", {std::to_string(f.setupCount - 4)}),
              26, false, Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
    y += 40;
  }

  // The totals, large.
  const std::pair<QString, QString> totals[] = {
      {T("Units"), QString::number(f.units)},
      {T("Passed"), QString::number(f.passed)},
      {T("Failed"), QString::number(f.failed)},
      {T("No part written"), QString::number(NotInYield(f))},
      {T("Yield"), Percent(f.passed, f.passed + f.failed)},
      {T("Units per hour"), PerHour(f)},
  };
  y += 30;
  const double boxWidth = (kWidth - 5 * 20) / 6;
  for (int i = 0; i < 6; ++i) {
    const double x = kLeft + i * (boxWidth + 20);
    page.Box(QRectF(x, y, boxWidth, 170), kPanel);
    page.Text(QRectF(x + 16, y + 12, boxWidth - 32, 40), totals[i].first, 24, false,
              Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
    page.Figure(QRectF(x + 16, y + 60, boxWidth - 32, 90), totals[i].second, 56,
                Qt::AlignLeft | Qt::AlignVCenter,
                i == 1 ? kPass : (i == 2 && f.failed > 0 ? kFail : kInk));
  }
  // Under the boxes: the units that wrote no part, on a line of their own; then what the
  // yield and the units per hour are taken over.
  const std::string notWritten = NotWritten(f, language);
  double under = y + 178;
  if (!notWritten.empty()) {
    page.Text(QRectF(kLeft, under, kWidth, 34), Q(notWritten), 22, false,
              Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
    under += 34;
    y += 34;
  }
  page.Text(QRectF(kLeft, under, kWidth * 0.5, 34),
            T("yield: passed over the units that wrote a part"), 22, false,
            Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
  page.Text(QRectF(kLeft + kWidth * 0.5, under, kWidth * 0.5, 34),
            T("units per hour over the hours with units (%1)", {std::to_string(f.activeHours)}), 22,
            false, Qt::AlignRight | Qt::AlignVCenter, kQuiet);
  y += 240;

  // Serial numbers, and why units failed: as far down as the longer column goes.
  const double columnWidth = (kWidth - 60) / 2;
  const double left = kLeft;
  const double right = kLeft + columnWidth + 60;
  Heading(page, y, left, columnWidth, page.T("Serial numbers"));
  Heading(page, y, right, columnWidth, page.T("Failure reasons"));
  double line = y + 76;
  auto numbers = [&](const QString& label, const std::vector<QString>& items, int more, int lines) {
    if (items.empty() && more == 0) return;
    page.Text(QRectF(left, line, columnWidth, 36), label, 26, true);
    line += 38;
    for (const QString& text : page.Wrap(items, columnWidth - 30, 24, lines, more)) {
      page.Text(QRectF(left + 30, line, columnWidth - 30, 34), text, 24);
      line += 34;
    }
  };
  std::vector<QString> used;
  for (const BatchFigures::Range& range : f.used) {
    const QString prefix = f.nextFree.size() > 1 ? Q(range.counter) + " " : QString();
    used.push_back(prefix + (range.first == range.last
                                 ? QString::number(range.first)
                                 : QString::number(range.first) + QChar(0x2013) +
                                       QString::number(range.last)));
  }
  numbers(T("Used: %1 numbers", {std::to_string(f.usedNumbers)}), used,
          f.usedRanges - static_cast<int>(f.used.size()), 4);
  std::vector<QString> spoiled;
  for (const std::uint64_t n : f.spoiled)
    spoiled.push_back(QString::number(n));
  numbers(T("Spoiled: %1", {std::to_string(f.spoiledNumbers)}), spoiled,
          f.spoiledNumbers - static_cast<int>(f.spoiled.size()), 2);
  std::vector<QString> released;
  for (const std::uint64_t n : f.released)
    released.push_back(QString::number(n));
  numbers(T("Released (issued again): %1", {std::to_string(f.releasedNumbers)}), released,
          f.releasedNumbers - static_cast<int>(f.released.size()), 2);
  for (std::size_t i = 0; i < f.nextFree.size() && i < 3; ++i) {
    const auto& [counter, next] = f.nextFree[i];
    page.Text(QRectF(left, line, columnWidth, 36),
              T("Next free number of %1: %2",
                {counter, next ? std::to_string(*next) : page.T("none left")}),
              26);
    line += 38;
  }
  if (f.nextFree.size() > 3) {
    page.Text(QRectF(left, line, columnWidth, 36),
              T("and %1 more", {std::to_string(f.nextFree.size() - 3)}), 24, false,
              Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
    line += 38;
  }
  if (f.usedNumbers + f.spoiledNumbers + f.releasedNumbers == 0) {
    page.Text(QRectF(left, line, columnWidth, 36), T("no serial numbers"), 26, false,
              Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
    line += 38;
  }
  const double serialsEnd = line;
  line = y + 76;
  for (std::size_t i = 0; i < f.reasons.size() && i < 9; ++i) {
    const BatchFigures::Reason& reason = f.reasons[i];
    page.Text(QRectF(right, line, 120, 36), QString::number(reason.count), 26, true,
              Qt::AlignRight | Qt::AlignVCenter, kFail);
    page.Text(QRectF(right + 140, line, columnWidth - 140, 36), ReasonText(reason, language), 26);
    line += 40;
  }
  int others = f.otherReasons;
  for (std::size_t i = 9; i < f.reasons.size(); ++i)
    others += f.reasons[i].count;
  if (others > 0) {
    page.Text(QRectF(right + 140, line, columnWidth - 140, 36),
              T("and %1 more units for other reasons", {std::to_string(others)}), 24, false,
              Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
    line += 40;
  }
  if (f.reasons.empty()) {
    page.Text(QRectF(right, line, columnWidth, 36), T("no unit failed"), 26, false,
              Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
    line += 40;
  }
  y = std::max(serialsEnd, line) + 30;

  // Units per hour over the period.
  Heading(page, y, kLeft, kWidth, page.T("Units per hour"));
  for (const Shape& shape : LayoutChart(f.hours, QRectF(kLeft, y + 76, kWidth, 460), language))
    page.shapes.push_back(shape);
  y += 76 + 460 + 40;

  // Where in the memory units failed, and which ports.
  Heading(page, y, left, columnWidth, page.T("Memory map of failures"));
  for (const Shape& shape :
       LayoutBlockMap(f.blocks, QRectF(left, y + 76, columnWidth, 420), language))
    page.shapes.push_back(shape);
  Heading(page, y, right, columnWidth, page.T("Ports, the worst first"));
  line = y + 76;
  const double name = columnWidth - 3 * 170;
  const QString header[] = {T("Port"), T("Passed"), T("Failed"), T("Yield")};
  for (int i = 0; i < 4; ++i) {
    page.Text(QRectF(right + (i == 0 ? 0 : name + (i - 1) * 170), line, i == 0 ? name : 160, 34),
              header[i], 22, true,
              i == 0 ? Qt::AlignLeft | Qt::AlignVCenter : Qt::AlignRight | Qt::AlignVCenter,
              kQuiet);
  }
  line += 40;
  for (std::size_t i = 0; i < f.ports.size() && i < 9; ++i) {
    const BatchFigures::Port& p = f.ports[i];
    const QString cells[] = {Q(p.station) + "  " + Q(p.port), QString::number(p.passed),
                             QString::number(p.failed), Percent(p.passed, p.passed + p.failed)};
    for (int c = 0; c < 4; ++c) {
      page.Text(
          QRectF(right + (c == 0 ? 0 : name + (c - 1) * 170), line, c == 0 ? name - 10 : 160, 36),
          cells[c], 24, false,
          c == 0 ? Qt::AlignLeft | Qt::AlignVCenter : Qt::AlignRight | Qt::AlignVCenter,
          c == 2 && p.failed > 0 ? kFail : kInk);
    }
    line += 38;
  }
  if (f.ports.size() > 9) {
    page.Text(QRectF(right, line, columnWidth, 34),
              T("and %1 more ports", {std::to_string(f.ports.size() - 9)}), 22, false,
              Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
  }
  page.Line(kLeft, 2820, kRight, 2820);
  page.Text(QRectF(kLeft, 2830, kWidth, 36),
            T("Every figure comes from the production store's records, as otpwriter-cli log shows "
              "them for the same period."),
            20, false, Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
  return page.shapes;
}

void Paint(QPainter& painter, const Shapes& shapes, double width, double height,
           const QRectF& target) {
  painter.save();
  painter.translate(target.topLeft());
  painter.scale(target.width() / width, target.height() / height);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::TextAntialiasing);
  for (const Shape& shape : shapes) {
    switch (shape.kind) {
      case Shape::Kind::kBox:
        painter.fillRect(shape.rect, shape.fill);
        if (shape.stroke.alpha() > 0) {
          painter.setPen(QPen(shape.stroke, 2));
          painter.drawRect(shape.rect);
        }
        break;
      case Shape::Kind::kLine:
        painter.setPen(QPen(shape.stroke, 2));
        painter.drawLine(shape.rect.topLeft(), shape.rect.bottomRight());
        break;
      case Shape::Kind::kText:
        painter.setFont(FontOf(shape.size, shape.bold));
        painter.setPen(shape.stroke.alpha() > 0 ? shape.stroke : kInk);
        painter.drawText(shape.rect, shape.align, shape.text);
        break;
    }
  }
  painter.restore();
}

namespace {

std::string Escape(const QString& text) {
  return text.toHtmlEscaped().replace("'", "&#39;").toStdString();
}

std::string Colour(const QColor& colour) {
  return colour.name(QColor::HexRgb).toStdString();
}

std::string Number(double value) {
  return QString::number(value, 'f', 1).toStdString();
}

}  // namespace

std::string Svg(const Shapes& shapes, double width, double height) {
  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + Number(width) +
                    " " + Number(height) + "\" width=\"100%\">";
  for (const Shape& shape : shapes) {
    const QRectF& r = shape.rect;
    switch (shape.kind) {
      case Shape::Kind::kBox:
        svg += "<rect x=\"" + Number(r.x()) + "\" y=\"" + Number(r.y()) + "\" width=\"" +
               Number(r.width()) + "\" height=\"" + Number(r.height()) + "\" fill=\"" +
               (shape.fill.alpha() > 0 ? Colour(shape.fill) : "none") + "\"" +
               (shape.stroke.alpha() > 0 ? " stroke=\"" + Colour(shape.stroke) + "\"" : "") + "/>";
        break;
      case Shape::Kind::kLine:
        svg += "<line x1=\"" + Number(r.left()) + "\" y1=\"" + Number(r.top()) + "\" x2=\"" +
               Number(r.right()) + "\" y2=\"" + Number(r.bottom()) + "\" stroke=\"" +
               Colour(shape.stroke) + "\" stroke-width=\"2\"/>";
        break;
      case Shape::Kind::kText: {
        std::string anchor = "start";
        double x = r.left();
        if (shape.align & Qt::AlignRight) {
          anchor = "end";
          x = r.right();
        } else if (shape.align & Qt::AlignHCenter) {
          anchor = "middle";
          x = r.center().x();
        }
        const double y = r.center().y() + shape.size * 0.35;
        svg += "<text x=\"" + Number(x) + "\" y=\"" + Number(y) + "\" font-size=\"" +
               Number(shape.size) + "\" text-anchor=\"" + anchor + "\" fill=\"" +
               Colour(shape.stroke.alpha() > 0 ? shape.stroke : kInk) + "\"" +
               (shape.bold ? " font-weight=\"bold\"" : "") + ">" + Escape(shape.text) + "</text>";
        break;
      }
    }
  }
  return svg + "</svg>";
}

QByteArray Pdf(const BatchFigures& figures, const ReportContext& context, Language language) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  {
    QPdfWriter pdf(&buffer);
    pdf.setPageSize(QPageSize(QPageSize::A4));
    pdf.setPageMargins(QMarginsF(0, 0, 0, 0));
    pdf.setResolution(300);
    pdf.setTitle(QString::fromStdString(Tr(language, "Batch report")));
    pdf.setCreator("otpwriter-cli");
    QPainter painter(&pdf);
    Paint(painter, LayoutPage(figures, context, language), kPageWidth, kPageHeight,
          QRectF(0, 0, pdf.width(), pdf.height()));
  }
  return bytes;
}

QImage Png(const BatchFigures& figures, const ReportContext& context, Language language) {
  // A4 at 150 dots an inch.
  QImage image(1240, 1754, QImage::Format_RGB32);
  image.setDotsPerMeterX(5906);
  image.setDotsPerMeterY(5906);
  image.fill(Qt::white);
  QPainter painter(&image);
  Paint(painter, LayoutPage(figures, context, language), kPageWidth, kPageHeight,
        QRectF(0, 0, image.width(), image.height()));
  return image;
}

std::string Html(const BatchFigures& f, const ReportContext& context, Language language) {
  auto T = [language](std::string_view english,
                      std::initializer_list<std::string_view> values = {}) {
    return Escape(QString::fromStdString(Tr(language, english, values)));
  };
  std::string html =
      "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"" +
      std::string(language == Language::kJapanese ? "ja" : "en") +
      "\">\n<head><meta charset=\"utf-8\"/><title>" + T("Batch report") +
      "</title><style>body{font-family:sans-serif;margin:2em;max-width:60em;color:#1a1a1a}"
      "table{border-collapse:collapse}td,th{padding:.2em .8em;text-align:left}"
      ".n{text-align:right}.quiet{color:#606060}h2{border-bottom:1px solid #b8bcc2}"
      "</style></head>\n<body>\n<h1>" +
      T("Batch report") + "</h1>\n<p>" + T("Period: %1", {context.period}) +
      (f.units > 0 ? " <span class=\"quiet\">" +
                         T("first unit %1, last %2 (UTC)",
                           {Moment(f.first).toStdString(), Moment(f.last).toStdString()}) +
                         "</span>"
                   : std::string()) +
      "</p>\n<p class=\"quiet\">" + Escape(Q(context.selection)) + " " + Escape(Q(context.store)) +
      " " + T("made %1", {context.generated}) + "</p>\n";
  if (f.units == 0)
    return html + "<h2>" + T("No attempts in this period") + "</h2>\n</body>\n</html>\n";
  // What was burned where: each station with its ports, by name.
  std::map<std::string, std::set<std::string>> stations;
  for (const BatchFigures::Port& port : f.ports)
    stations[port.station].insert(port.port);
  std::string where;
  for (const auto& [station, ports] : stations) {
    std::string list;
    for (const std::string& port : ports)
      list += (list.empty() ? "" : ", ") + port;
    where += (where.empty() ? "" : ";  ") + station + " (" + list + ")";
  }
  html += "<p class=\"stations\">" + T("Stations and ports: %1", {where}) + "</p>\n<table>\n";
  for (const BatchFigures::Setup& s : f.setups) {
    html += "<tr><td>" + (s.job.empty() ? T("no job") : T("job %1 (%2)", {s.job, s.jobSum})) +
            "</td><td>" + Escape(Q(s.model)) + " " + Escape(Q(s.clock)) + "</td><td>" +
            Escape(Q(s.image)) + " CRC-32 0x" + otp::Hex(s.crc32, 8) + "</td><td>" +
            T("read: %1", {Tr(language, ReadingWords(s.reading))}) + "</td><td class=\"n\">" +
            T("%1 units", {std::to_string(s.units)}) + "</td></tr>\n";
  }
  if (f.setupCount > static_cast<int>(f.setups.size())) {
    html += "<tr><td>" + T("and %1 more", {std::to_string(f.setupCount - f.setups.size())}) +
            "</td></tr>\n";
  }
  html += "</table>\n<h2>" + T("Totals") + "</h2>\n<table><tr>";
  const std::pair<std::string, std::string> totals[] = {
      {T("Units"), std::to_string(f.units)},
      {T("Passed"), std::to_string(f.passed)},
      {T("Failed"), std::to_string(f.failed)},
      {T("No part written"), std::to_string(NotInYield(f))},
      {T("Yield"), Percent(f.passed, f.passed + f.failed).toStdString()},
      {T("Units per hour"), PerHour(f).toStdString()},
  };
  for (const auto& [name, value] : totals)
    html += "<th>" + name + "</th>";
  html += "</tr><tr>";
  for (const auto& [name, value] : totals)
    html += "<td class=\"n\">" + Escape(Q(value)) + "</td>";
  html += "</tr></table>\n<p class=\"quiet\">" + Escape(Q(NotWritten(f, language))) + " " +
          T("yield: passed over the units that wrote a part") + "</p>\n<h2>" + T("Serial numbers") +
          "</h2>\n<p>" + T("Used: %1 numbers", {std::to_string(f.usedNumbers)}) + ": ";
  for (std::size_t i = 0; i < f.used.size(); ++i) {
    const auto& r = f.used[i];
    html += (i ? ", " : "") + (r.first == r.last
                                   ? std::to_string(r.first)
                                   : std::to_string(r.first) + "&#8211;" + std::to_string(r.last));
  }
  if (f.usedRanges > static_cast<int>(f.used.size())) {
    html += T(" and %1 more", {std::to_string(f.usedRanges - f.used.size())});
  }
  // A list of numbers, and how many more there are than it holds.
  auto list = [&T](const std::vector<std::uint64_t>& numbers, int all) {
    std::string text;
    for (std::size_t i = 0; i < numbers.size(); ++i)
      text += (i ? ", " : "") + std::to_string(numbers[i]);
    if (all > static_cast<int>(numbers.size())) {
      text += T(" and %1 more", {std::to_string(all - numbers.size())});
    }
    return text;
  };
  html += "</p>\n<p>" + T("Spoiled: %1", {std::to_string(f.spoiledNumbers)}) + ": " +
          list(f.spoiled, f.spoiledNumbers) + "</p>\n<p>" +
          T("Released (issued again): %1", {std::to_string(f.releasedNumbers)}) + ": " +
          list(f.released, f.releasedNumbers) + "</p>\n";
  for (const auto& [counter, next] : f.nextFree) {
    html += "<p>" +
            T("Next free number of %1: %2",
              {counter, next ? std::to_string(*next) : Tr(language, "none left")}) +
            "</p>\n";
  }
  html += "<h2>" + T("Failure reasons") + "</h2>\n<table>\n";
  for (const BatchFigures::Reason& reason : f.reasons) {
    html += "<tr><td class=\"n\">" + std::to_string(reason.count) + "</td><td>" +
            Escape(ReasonText(reason, language)) + "</td></tr>\n";
  }
  html += "</table>\n<h2>" + T("Units per hour") + "</h2>\n" +
          Svg(LayoutChart(f.hours, QRectF(0, 0, 1800, 520), language), 1800, 520) + "\n<h2>" +
          T("Memory map of failures") + "</h2>\n" +
          Svg(LayoutBlockMap(f.blocks, QRectF(0, 0, 900, 420), language), 900, 420) + "\n<h2>" +
          T("Ports, the worst first") + "</h2>\n<table>\n<tr><th>" + T("Port") +
          "</th><th class=\"n\">" + T("Passed") + "</th><th class=\"n\">" + T("Failed") +
          "</th><th class=\"n\">" + T("Yield") + "</th></tr>\n";
  for (const BatchFigures::Port& p : f.ports) {
    html += "<tr><td>" + Escape(Q(p.station + "  " + p.port)) + "</td><td class=\"n\">" +
            std::to_string(p.passed) + "</td><td class=\"n\">" + std::to_string(p.failed) +
            "</td><td class=\"n\">" + Percent(p.passed, p.passed + p.failed).toStdString() +
            "</td></tr>\n";
  }
  return html + "</table>\n</body>\n</html>\n";
}

namespace {

// "2026-12-07T00:00:05Z" as the page says it, to the second as it was asked:
// "2026-12-07 00:00:05".
std::string Shown(const std::string& iso) {
  return QDateTime::fromString(QString::fromStdString(iso), Qt::ISODate)
      .toUTC()
      .toString("yyyy-MM-dd HH:mm:ss")
      .toStdString();
}

}  // namespace

ReportContext ContextOf(const AttemptFilter& filter, const std::string& location,
                        Language language) {
  ReportContext page;
  if (!filter.since.empty() || !filter.until.empty()) {
    page.period =
        Tr(language, "%1 to %2 (UTC)",
           {!filter.since.empty() ? Shown(filter.since) : Tr(language, "the first record"),
            !filter.until.empty() ? Shown(filter.until) : Tr(language, "now")});
  } else {
    page.period = Tr(language, "every record");
  }
  if (!filter.job.empty()) page.selection += Tr(language, "job %1", {filter.job}) + "  ";
  if (!filter.station.empty())
    page.selection += Tr(language, "station %1", {filter.station}) + "  ";
  if (!filter.lot.empty()) page.selection += Tr(language, "lot %1", {filter.lot});
  page.store = location;
  page.generated =
      QDateTime::currentDateTimeUtc().toString("yyyy-MM-dd HH:mm").toStdString() + " UTC";
  return page;
}

}  // namespace otp::report
