#pragma once

#include <QPixmap>
#include <QWidget>
#include <array>
#include <utility>
#include <vector>

#include "core/Catalogue.h"

namespace otp::ui {

/// What a 256-byte block of the OTP area is, as a unit goes: its class in the burn plan,
/// then written and compared. Each has a colour and a mark of its own (colour is not
/// enough for every operator).
enum class BlockMark {
  kUnknown,
  kSkip,
  kWrite,
  kDone,
  kCompletable,
  kConflict,
  kWritten,
  kCompared
};

/// The mark's character: ' ', '.', '+', '=', '~', 'X', '#', 'o'.
char MarkCharacter(BlockMark mark);
/// The mark's colour.
QColor MarkColour(BlockMark mark);

/// The 64 blocks of the OTP area as a picture: 4 rows of 16 cells, each its mark's
/// colour and character. Its accessible description lists the marks row by row.
class BlockMap final : public QWidget {
 public:
  explicit BlockMap(QWidget* parent = nullptr);

  void SetMarks(const std::vector<BlockMark>& marks);
  const std::vector<BlockMark>& marks() const { return marks_; }

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void Paint(QPaintDevice& device);

  std::vector<BlockMark> marks_;
  QPixmap picture_;  // the marks as last painted, at the widget's size
};

/// What each mark of a block map means, under the tiles: its cell, its character and its
/// word, item after item, on as many lines as the width needs.
class BlockLegend final : public QWidget {
 public:
  explicit BlockLegend(Language language, QWidget* parent = nullptr);
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  // Where each item goes at `width`; `height` gets the height they take.
  std::vector<QPoint> Places(int width, int* height) const;

  std::vector<std::pair<BlockMark, QString>> items_;
};

}  // namespace otp::ui
