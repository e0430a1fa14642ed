#include "ui/BlockMap.h"

#include <QPainter>
#include <QResizeEvent>

#include "core/Texts.h"

namespace otp::ui {

namespace {
constexpr int kColumns = 16;
constexpr int kRows = 4;
}  // namespace

char MarkCharacter(BlockMark mark) {
  switch (mark) {
    case BlockMark::kUnknown:
      return ' ';
    case BlockMark::kSkip:
      return '.';
    case BlockMark::kWrite:
      return '+';
    case BlockMark::kDone:
      return '=';
    case BlockMark::kCompletable:
      return '~';
    case BlockMark::kConflict:
      return 'X';
    case BlockMark::kWritten:
      return '#';
    case BlockMark::kCompared:
      return 'o';
  }
  return ' ';
}

QColor MarkColour(BlockMark mark) {
  switch (mark) {
    case BlockMark::kUnknown:
      return QColor(0xE8, 0xE8, 0xE8);
    case BlockMark::kSkip:
      return QColor(0xF7, 0xF7, 0xF7);
    case BlockMark::kWrite:
      return QColor(0x9E, 0xC9, 0xF0);
    case BlockMark::kDone:
      return QColor(0x7F, 0xC9, 0xB8);
    case BlockMark::kCompletable:
      return QColor(0xF3, 0xD3, 0x6B);
    case BlockMark::kConflict:
      return QColor(0xD9, 0x2B, 0x2B);
    case BlockMark::kWritten:
      return QColor(0x2F, 0x6F, 0xC0);
    case BlockMark::kCompared:
      return QColor(0x2E, 0x9A, 0x4F);
  }
  return Qt::white;
}

BlockMap::BlockMap(QWidget* parent) : QWidget(parent), marks_(kColumns * kRows) {
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

void BlockMap::SetMarks(const std::vector<BlockMark>& marks) {
  if (marks == marks_) return;
  marks_ = marks;
  QString rows;
  for (int row = 0; row < kRows; ++row) {
    for (int column = 0; column < kColumns; ++column) {
      const std::size_t i = static_cast<std::size_t>(row * kColumns + column);
      rows += i < marks_.size() ? QChar(MarkCharacter(marks_[i])) : QChar(' ');
    }
    if (row + 1 < kRows) rows += '\n';
  }
  setAccessibleDescription(rows);
  picture_ = QPixmap();
  update();
}

QSize BlockMap::sizeHint() const {
  return {kColumns * 14, kRows * 14};
}

QSize BlockMap::minimumSizeHint() const {
  return {kColumns * 8, kRows * 8};
}

void BlockMap::paintEvent(QPaintEvent*) {
  // The picture is made anew only when the marks or the size change: a tile is painted
  // far more often than its blocks change.
  const qreal scale = devicePixelRatioF();
  if (picture_.isNull() || picture_.size() != size() * scale) {
    picture_ = QPixmap(size() * scale);
    picture_.setDevicePixelRatio(scale);
    picture_.fill(Qt::transparent);
    Paint(picture_);
  }
  QPainter(this).drawPixmap(0, 0, picture_);
}

void BlockMap::Paint(QPaintDevice& device) {
  QPainter painter(&device);
  const double cell =
      std::min(width() / static_cast<double>(kColumns), height() / static_cast<double>(kRows));
  const double left = (width() - cell * kColumns) / 2;
  QFont font = painter.font();
  font.setPixelSize(std::max(7, static_cast<int>(cell * 0.7)));
  font.setBold(true);
  painter.setFont(font);
  for (int row = 0; row < kRows; ++row) {
    for (int column = 0; column < kColumns; ++column) {
      const std::size_t i = static_cast<std::size_t>(row * kColumns + column);
      const BlockMark mark = i < marks_.size() ? marks_[i] : BlockMark::kUnknown;
      const QRectF box(left + column * cell, row * cell, cell - 1, cell - 1);
      const QColor colour = MarkColour(mark);
      painter.fillRect(box, colour);
      painter.setPen(colour.lightness() < 128 ? Qt::white : QColor(0x30, 0x30, 0x30));
      if (cell >= 9) painter.drawText(box, Qt::AlignCenter, QString(QChar(MarkCharacter(mark))));
    }
  }
}

BlockLegend::BlockLegend(Language language, QWidget* parent) : QWidget(parent) {
  setObjectName("legend");
  const std::pair<BlockMark, const char*> items[] = {
      {BlockMark::kSkip, "nothing to write"}, {BlockMark::kWrite, "to write"},
      {BlockMark::kWritten, "written"},       {BlockMark::kCompared, "compared"},
      {BlockMark::kDone, "holds the image"},  {BlockMark::kCompletable, "part of the image"},
      {BlockMark::kConflict, "conflict"},
  };
  QString description;
  for (const auto& [mark, english] : items) {
    const QString word = QString::fromStdString(Tr(language, english));
    items_.emplace_back(mark, word);
    description +=
        (description.isEmpty() ? "" : ", ") + QString(QChar(MarkCharacter(mark))) + " " + word;
  }
  setAccessibleName(QString::fromStdString(Tr(language, "Block map")));
  setAccessibleDescription(description);
  QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  policy.setHeightForWidth(true);
  setSizePolicy(policy);
}

std::vector<QPoint> BlockLegend::Places(int width, int* height) const {
  const int cell = fontMetrics().height();
  const int line = cell + 6;
  std::vector<QPoint> places;
  int x = 0, y = 0;
  for (const auto& item : items_) {
    const int wide = cell + 5 + fontMetrics().horizontalAdvance(item.second);
    if (x > 0 && x + wide > width) {
      x = 0;
      y += line;
    }
    places.emplace_back(x, y);
    x += wide + 18;
  }
  if (height) *height = y + line;
  return places;
}

QSize BlockLegend::sizeHint() const {
  int width = 0;
  for (const auto& item : items_)
    width += fontMetrics().horizontalAdvance(item.second) + fontMetrics().height() + 23;
  return {width, fontMetrics().height() + 6};
}

QSize BlockLegend::minimumSizeHint() const {
  return {fontMetrics().height() * 6, fontMetrics().height() + 6};
}

int BlockLegend::heightForWidth(int width) const {
  int height = 0;
  Places(width, &height);
  return height;
}

void BlockLegend::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // A new width may need another number of lines.
  if (heightForWidth(width()) != height()) updateGeometry();
}

void BlockLegend::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const int cell = fontMetrics().height();
  QFont bold = font();
  bold.setBold(true);
  const std::vector<QPoint> places = Places(width(), nullptr);
  for (std::size_t i = 0; i < items_.size(); ++i) {
    const auto& [mark, word] = items_[i];
    const int x = places[i].x();
    const int y = places[i].y() + 3;
    const QRect box(x, y, cell, cell);
    const QColor colour = MarkColour(mark);
    painter.fillRect(box, colour);
    painter.setPen(QColor(0x90, 0x90, 0x90));
    painter.drawRect(box.adjusted(0, 0, -1, -1));
    painter.setFont(bold);
    painter.setPen(colour.lightness() < 128 ? Qt::white : QColor(0x30, 0x30, 0x30));
    painter.drawText(box, Qt::AlignCenter, QString(QChar(MarkCharacter(mark))));
    painter.setFont(font());
    painter.setPen(palette().color(QPalette::WindowText));
    const int advance = fontMetrics().horizontalAdvance(word);
    painter.drawText(QRect(x + cell + 5, y, advance + 2, cell), Qt::AlignVCenter, word);
  }
}

}  // namespace otp::ui
