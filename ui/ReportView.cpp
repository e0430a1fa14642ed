#include "ui/ReportView.h"

#include <QPainter>

#include "report/ReportPage.h"

namespace otp::ui {

namespace {

// The layout's units to a pixel: its texts of 22 to 34 units read at 11 to 17 pixels.
constexpr double kUnitsPerPixel = 2;

}  // namespace

ReportView::ReportView(Language language, QWidget* parent) : QWidget(parent), language_(language) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMinimumSize(480, 360);
}

void ReportView::SetFigures(BatchFigures figures) {
  figures_ = std::move(figures);
  update();
}

void ReportView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::white);
  const QRectF area = QRectF(rect()).adjusted(16, 12, -16, -12);
  const QSizeF space = area.size() * kUnitsPerPixel;
  report::Paint(painter, report::LayoutRun(figures_, space, language_), space.width(),
                space.height(), area);
}

}  // namespace otp::ui
