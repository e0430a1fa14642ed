#pragma once

#include <QFont>
#include <QIcon>
#include <QRect>
#include <QString>
#include <map>

#include "core/Catalogue.h"
#include "res/Templates.h"

class QPainter;
class QWidget;

namespace otp::ui {

/// Dialog base units of a font: a dialog unit is a quarter of the font's average
/// character width across and an eighth of its height down.
struct DialogUnits {
  int baseX = 8;
  int baseY = 16;

  int X(int dlu) const { return (dlu * baseX + 2) / 4; }
  int Y(int dlu) const { return (dlu * baseY + 4) / 8; }
  QRect ToPixels(int x, int y, int cx, int cy) const { return QRect(X(x), Y(y), X(cx), Y(cy)); }
};

/// The dialog units of `font`.
DialogUnits UnitsFor(const QFont& font);

/// The platform's font for a template's font name and size.
QFont DialogFont(const res::DialogTemplate& dialog);

/// The object name under which the control with `id` can be found.
inline QString ControlName(int id) {
  return QString::number(id);
}

/// Creates the template's controls as children of `client`, in template order (which is
/// also the tab order), sizes `client` to the template, and returns the controls that
/// have an identifier, by identifier.
std::map<int, QWidget*> BuildControls(QWidget* client, const res::DialogTemplate& dialog);

/// Paints the application's icon into a `size` by `size` square.
void PaintAppIcon(QPainter& painter, int size);

/// The application's icon in the usual sizes.
QIcon AppIcon();

}  // namespace otp::ui
