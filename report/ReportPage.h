#pragma once

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <string>
#include <vector>

#include "core/Catalogue.h"
#include "ops/BatchFigures.h"
#include "ops/RecordStore.h"

class QPainter;

namespace otp::report {

/// One thing drawn on a report: a filled box, a line or a text in a box. Painted with
/// Qt's painter for PDF, PNG and the station's tab, and written as SVG for HTML, so every
/// output shows the same page.
struct Shape {
  enum class Kind { kBox, kLine, kText };
  Kind kind = Kind::kBox;
  QRectF rect;
  QColor fill = Qt::transparent;
  QColor stroke = Qt::transparent;
  QString text;
  int align = Qt::AlignLeft | Qt::AlignVCenter;
  double size = 30;  // text height in the page's units
  bool bold = false;
};
using Shapes = std::vector<Shape>;

/// What the page says of where its figures come from.
struct ReportContext {
  std::string period;     // as the operator asked: "2026-12-01 to 2026-12-08", or "all"
  std::string selection;  // the job and station asked for, or empty
  std::string store;      // the store's location, never with a password
  std::string generated;  // when the page was made
};

/// What the page says of `filter` over the store at `location`, made now.
ReportContext ContextOf(const AttemptFilter& filter, const std::string& location,
                        Language language);

/// The page's size in its own units: A4 in tenths of a millimetre.
inline constexpr double kPageWidth = 2100;
inline constexpr double kPageHeight = 2970;

/// The whole page: title, period and what was burned, the totals, the serial numbers,
/// the reasons of failures, the units per hour, the memory map and the ports.
Shapes LayoutPage(const BatchFigures& figures, const ReportContext& context, Language language);
/// The station's view of its run, in a space of `size`: the units per hour, the memory
/// map of failures and their reasons.
Shapes LayoutRun(const BatchFigures& figures, const QSizeF& size, Language language);
/// Units per hour over the period, passed and failed stacked, within `area`.
Shapes LayoutChart(const std::vector<BatchFigures::Hour>& hours, const QRectF& area,
                   Language language);
/// The OTP area's 64 blocks, 4 rows of 16, each shaded by the failures in it, with counts.
Shapes LayoutBlockMap(const std::array<int, 64>& blocks, const QRectF& area, Language language);

/// Paints `shapes`, laid out in a space of `width` x `height`, scaled into `target`.
void Paint(QPainter& painter, const Shapes& shapes, double width, double height,
           const QRectF& target);
/// `shapes` as an SVG element of `width` x `height`.
std::string Svg(const Shapes& shapes, double width, double height);

/// The page as an A4 PDF, as a PNG at 150 dots an inch (1240 x 1754), and as one
/// self-contained HTML file (its charts inline as SVG).
QByteArray Pdf(const BatchFigures& figures, const ReportContext& context, Language language);
QImage Png(const BatchFigures& figures, const ReportContext& context, Language language);
std::string Html(const BatchFigures& figures, const ReportContext& context, Language language);

}  // namespace otp::report
