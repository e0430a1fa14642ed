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
#include "report/ReportModel.h"

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

// A reason as its reader reads it: the catalogue's words for its number, in the reader's
// language, else the text as it was recorded.
QString ReasonText(const BatchFigures::Reason& reason, Language language) {
  if (reason.id) {
    const std::string text = LoadString(*reason.id, language);
    if (!text.empty()) return Q(text).trimmed();
  }
  return Q(reason.text);
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
  const ReportModel m = BuildReport(f, context, language);
  Page page(language);
  page.Text(QRectF(kLeft, 120, kWidth * 0.6, 100), Q(m.title), 80, true);
  page.Text(QRectF(kLeft + kWidth * 0.6, 130, kWidth * 0.4, 40), Q(m.made), 24, false,
            Qt::AlignRight | Qt::AlignVCenter, kQuiet);
  page.Text(QRectF(kLeft + kWidth * 0.6, 170, kWidth * 0.4, 40), Q(m.store), 24, false,
            Qt::AlignRight | Qt::AlignVCenter, kQuiet);
  page.Text(QRectF(kLeft, 240, kWidth, 44), Q(m.period), 32);
  if (!m.span.empty()) {
    page.Text(QRectF(kLeft + kWidth * 0.55, 240, kWidth * 0.45, 44), Q(m.span), 24, false,
              Qt::AlignRight | Qt::AlignVCenter, kQuiet);
  }
  if (!m.selection.empty()) page.Text(QRectF(kLeft, 290, kWidth, 40), Q(m.selection), 28);
  page.Line(kLeft, 345, kRight, 345, kQuiet);
  if (m.empty) {
    page.Text(QRectF(kLeft, 1200, kWidth, 120), Q(m.emptyText), 64, true, Qt::AlignCenter, kQuiet);
    return page.shapes;
  }

  // What was burned where: each station with its ports, by name.
  const QString label = Q(m.stationsLabel);
  const double indent = page.Advance(label, 26);
  double y = 365;
  page.Text(QRectF(kLeft, y, indent + 10, 38), label, 26);
  std::vector<QString> where;
  for (const std::string& station : m.stations)
    where.push_back(Q(station));
  for (const QString& text : page.Wrap(where, kWidth - indent, 26, 2, 0, ";  ")) {
    page.Text(QRectF(kLeft + indent, y, kWidth - indent, 38), text, 26);
    y += 40;
  }
  for (const ReportModel::Setup& setup : m.setups) {
    page.Text(QRectF(kLeft, y, kWidth - 260, 38), Q(setup.text), 26);
    page.Text(QRectF(kRight - 250, y, 250, 38), Q(setup.units), 26, false,
              Qt::AlignRight | Qt::AlignVCenter);
    y += 40;
  }
  if (!m.moreSetups.empty()) {
    page.Text(QRectF(kLeft, y, kWidth, 38), Q(m.moreSetups), 26, false,
              Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
    y += 40;
  }

  // The totals, large.
  y += 30;
  const double boxWidth = (kWidth - 5 * 20) / 6;
  for (std::size_t i = 0; i < m.totals.size(); ++i) {
    const ReportModel::Total& total = m.totals[i];
    const double x = kLeft + static_cast<double>(i) * (boxWidth + 20);
    page.Box(QRectF(x, y, boxWidth, 170), kPanel);
    page.Text(QRectF(x + 16, y + 12, boxWidth - 32, 40), Q(total.label), 24, false,
              Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
    page.Figure(QRectF(x + 16, y + 60, boxWidth - 32, 90), Q(total.value), 56,
                Qt::AlignLeft | Qt::AlignVCenter,
                total.tone == ReportModel::Total::Tone::kPass   ? kPass
                : total.tone == ReportModel::Total::Tone::kFail ? kFail
                                                                : kInk);
  }
  // Under the boxes: the units that wrote no part, on a line of their own; then what the
  // yield and the units per hour are taken over.
  double under = y + 178;
  if (!m.notWritten.empty()) {
    page.Text(QRectF(kLeft, under, kWidth, 34), Q(m.notWritten), 22, false,
              Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
    under += 34;
    y += 34;
  }
  page.Text(QRectF(kLeft, under, kWidth * 0.5, 34), Q(m.yieldNote), 22, false,
            Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
  page.Text(QRectF(kLeft + kWidth * 0.5, under, kWidth * 0.5, 34), Q(m.perHourNote), 22, false,
            Qt::AlignRight | Qt::AlignVCenter, kQuiet);
  y += 240;

  // Serial numbers, and why units failed: as far down as the longer column goes.
  const double columnWidth = (kWidth - 60) / 2;
  const double left = kLeft;
  const double right = kLeft + columnWidth + 60;
  Heading(page, y, left, columnWidth, m.serialsHeading);
  Heading(page, y, right, columnWidth, m.reasonsHeading);
  double line = y + 76;
  for (const ReportModel::Numbers& group : m.numbers) {
    page.Text(QRectF(left, line, columnWidth, 36), Q(group.label), 26, true);
    line += 38;
    std::vector<QString> items;
    for (const std::string& item : group.items)
      items.push_back(Q(item));
    for (const QString& text : page.Wrap(items, columnWidth - 30, 24, group.lines, group.more)) {
      page.Text(QRectF(left + 30, line, columnWidth - 30, 34), text, 24);
      line += 34;
    }
  }
  for (const std::string& next : m.nextFree) {
    page.Text(QRectF(left, line, columnWidth, 36), Q(next), 26);
    line += 38;
  }
  for (const std::string* quiet : {&m.moreNextFree, &m.noNumbers}) {
    if (quiet->empty()) continue;
    page.Text(QRectF(left, line, columnWidth, 36), Q(*quiet), 24, false,
              Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
    line += 38;
  }
  const double serialsEnd = line;
  line = y + 76;
  for (const ReportModel::Reason& reason : m.reasons) {
    page.Text(QRectF(right, line, 120, 36), Q(reason.count), 26, true,
              Qt::AlignRight | Qt::AlignVCenter, kFail);
    page.Text(QRectF(right + 140, line, columnWidth - 140, 36), Q(reason.text), 26);
    line += 40;
  }
  if (!m.otherReasons.empty()) {
    page.Text(QRectF(right + 140, line, columnWidth - 140, 36), Q(m.otherReasons), 24, false,
              Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
    line += 40;
  }
  if (!m.noReasons.empty()) {
    page.Text(QRectF(right, line, columnWidth, 36), Q(m.noReasons), 26, false,
              Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
    line += 40;
  }
  y = std::max(serialsEnd, line) + 30;

  // Units per hour over the period.
  Heading(page, y, kLeft, kWidth, m.chartHeading);
  for (const Shape& shape : LayoutChart(f.hours, QRectF(kLeft, y + 76, kWidth, 460), language))
    page.shapes.push_back(shape);
  y += 76 + 460 + 40;

  // Where in the memory units failed, and which ports.
  Heading(page, y, left, columnWidth, m.mapHeading);
  for (const Shape& shape :
       LayoutBlockMap(f.blocks, QRectF(left, y + 76, columnWidth, 420), language))
    page.shapes.push_back(shape);
  Heading(page, y, right, columnWidth, m.portsHeading);
  line = y + 76;
  const double name = columnWidth - 3 * 170;
  for (std::size_t i = 0; i < m.portHeader.size(); ++i) {
    page.Text(QRectF(right + (i == 0 ? 0 : name + static_cast<double>(i - 1) * 170), line,
                     i == 0 ? name : 160, 34),
              Q(m.portHeader[i]), 22, true,
              i == 0 ? Qt::AlignLeft | Qt::AlignVCenter : Qt::AlignRight | Qt::AlignVCenter,
              kQuiet);
  }
  line += 40;
  for (const ReportModel::Port& p : m.ports) {
    const std::string cells[] = {p.name, p.passed, p.failed, p.yield};
    for (int c = 0; c < 4; ++c) {
      page.Text(
          QRectF(right + (c == 0 ? 0 : name + (c - 1) * 170), line, c == 0 ? name - 10 : 160, 36),
          Q(cells[c]), 24, false,
          c == 0 ? Qt::AlignLeft | Qt::AlignVCenter : Qt::AlignRight | Qt::AlignVCenter,
          c == 2 && p.failing ? kFail : kInk);
    }
    line += 38;
  }
  if (!m.morePorts.empty()) {
    page.Text(QRectF(right, line, columnWidth, 34), Q(m.morePorts), 22, false,
              Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
  }
  page.Line(kLeft, 2820, kRight, 2820);
  page.Text(QRectF(kLeft, 2830, kWidth, 36), Q(m.footer), 20, false,
            Qt::AlignLeft | Qt::AlignVCenter, kQuiet);
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
  const ReportModel m = BuildReport(f, context, language);
  auto E = [](const std::string& text) { return Escape(Q(text)); };
  std::string html =
      "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"" +
      std::string(language == Language::kJapanese ? "ja" : "en") +
      "\">\n<head><meta charset=\"utf-8\"/><title>" + E(m.title) +
      "</title><style>body{font-family:sans-serif;margin:2em;max-width:60em;color:#1a1a1a}"
      "table{border-collapse:collapse}td,th{padding:.2em .8em;text-align:left}"
      ".n{text-align:right}.quiet{color:#606060}h2{border-bottom:1px solid #b8bcc2}"
      "</style></head>\n<body>\n<h1>" +
      E(m.title) + "</h1>\n<p>" + E(m.period) +
      (m.span.empty() ? std::string() : " <span class=\"quiet\">" + E(m.span) + "</span>") +
      "</p>\n<p class=\"quiet\">" + E(m.selection) + " " + E(m.store) + " " + E(m.made) + "</p>\n";
  if (m.empty) return html + "<h2>" + E(m.emptyText) + "</h2>\n</body>\n</html>\n";
  std::string where;
  for (const std::string& station : m.stations)
    where += (where.empty() ? "" : ";  ") + station;
  html += "<p class=\"stations\">" + E(m.stationsLabel + where) + "</p>\n<table>\n";
  for (const ReportModel::Setup& setup : m.setups)
    html += "<tr><td>" + E(setup.text) + "</td><td class=\"n\">" + E(setup.units) + "</td></tr>\n";
  if (!m.moreSetups.empty()) html += "<tr><td class=\"quiet\">" + E(m.moreSetups) + "</td></tr>\n";
  html += "</table>\n<table class=\"totals\"><tr>";
  for (const ReportModel::Total& total : m.totals)
    html += "<th>" + E(total.label) + "</th>";
  html += "</tr><tr>";
  for (const ReportModel::Total& total : m.totals)
    html += "<td class=\"n\">" + E(total.value) + "</td>";
  html += "</tr></table>\n<p class=\"quiet\">" + E(m.notWritten) + " " + E(m.yieldNote) + " " +
          E(m.perHourNote) + "</p>\n<h2>" + E(m.serialsHeading) + "</h2>\n";
  for (const ReportModel::Numbers& group : m.numbers) {
    std::string items;
    for (const std::string& item : group.items)
      items += (items.empty() ? "" : ", ") + item;
    if (group.more > 0) items += Tr(language, " and %1 more", {std::to_string(group.more)});
    html += "<p><b>" + E(group.label) + "</b>: " + E(items) + "</p>\n";
  }
  for (const std::string& next : m.nextFree)
    html += "<p>" + E(next) + "</p>\n";
  for (const std::string* quiet : {&m.moreNextFree, &m.noNumbers}) {
    if (!quiet->empty()) html += "<p class=\"quiet\">" + E(*quiet) + "</p>\n";
  }
  html += "<h2>" + E(m.reasonsHeading) + "</h2>\n<table>\n";
  for (const ReportModel::Reason& reason : m.reasons)
    html +=
        "<tr><td class=\"n\">" + E(reason.count) + "</td><td>" + E(reason.text) + "</td></tr>\n";
  html += "</table>\n";
  for (const std::string* quiet : {&m.otherReasons, &m.noReasons}) {
    if (!quiet->empty()) html += "<p class=\"quiet\">" + E(*quiet) + "</p>\n";
  }
  html += "<h2>" + E(m.chartHeading) + "</h2>\n" +
          Svg(LayoutChart(f.hours, QRectF(0, 0, 1800, 520), language), 1800, 520) + "\n<h2>" +
          E(m.mapHeading) + "</h2>\n" +
          Svg(LayoutBlockMap(f.blocks, QRectF(0, 0, 900, 420), language), 900, 420) + "\n<h2>" +
          E(m.portsHeading) + "</h2>\n<table>\n<tr>";
  for (std::size_t i = 0; i < m.portHeader.size(); ++i)
    html += std::string(i == 0 ? "<th>" : "<th class=\"n\">") + E(m.portHeader[i]) + "</th>";
  html += "</tr>\n";
  for (const ReportModel::Port& p : m.ports) {
    html += "<tr><td>" + E(p.name) + "</td><td class=\"n\">" + E(p.passed) +
            "</td><td class=\"n\">" + E(p.failed) + "</td><td class=\"n\">" + E(p.yield) +
            "</td></tr>\n";
  }
  html += "</table>\n";
  if (!m.morePorts.empty()) html += "<p class=\"quiet\">" + E(m.morePorts) + "</p>\n";
  return html + "<p class=\"quiet\">" + E(m.footer) + "</p>\n</body>\n</html>\n";
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
