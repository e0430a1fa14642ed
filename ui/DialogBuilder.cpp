#include "ui/DialogBuilder.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>
#include <algorithm>
#include <cstring>

namespace otp::ui {

namespace {

constexpr const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

QString Text(const char* utf8) {
  return QString::fromUtf8(utf8);
}

Qt::Alignment LabelAlignment(unsigned style) {
  Qt::Alignment align = (style & res::kMultiLine) ? Qt::AlignTop : Qt::AlignVCenter;
  if (style & res::kCentered) {
    align |= Qt::AlignHCenter;
  } else if (style & res::kRightAligned) {
    align |= Qt::AlignRight;
  } else {
    align |= Qt::AlignLeft;
  }
  return align;
}

QWidget* MakeControl(QWidget* client, const res::ControlTemplate& control,
                     const DialogUnits& units) {
  using res::Kind;
  const unsigned style = control.style;
  QWidget* widget = nullptr;
  switch (control.kind) {
    case Kind::kLabel: {
      auto* label = new QLabel(Text(control.text), client);
      label->setTextFormat(Qt::PlainText);
      label->setAlignment(LabelAlignment(style));
      // Long lines wrap, as a left-aligned static text does; "\n" always breaks.
      label->setWordWrap((style & res::kMultiLine) != 0);
      widget = label;
      break;
    }
    case Kind::kGroupBox: {
      auto* group = new QGroupBox(Text(control.text), client);
      if (style & res::kCentered) group->setAlignment(Qt::AlignHCenter);
      widget = group;
      break;
    }
    case Kind::kEdit: {
      auto* edit = new QLineEdit(Text(control.text), client);
      edit->setReadOnly((style & res::kReadOnly) != 0);
      edit->setFrame((style & res::kBorder) != 0);
      if (style & res::kCentered) edit->setAlignment(Qt::AlignCenter);
      if (style & res::kUpperCase) {
        QObject::connect(edit, &QLineEdit::textChanged, edit, [edit](const QString& text) {
          const QString upper = text.toUpper();
          if (upper != text) edit->setText(upper);
        });
      }
      // Files dropped on an edit box go to the window, as with every other control.
      edit->setAcceptDrops(false);
      widget = edit;
      break;
    }
    case Kind::kButton: {
      auto* button = new QPushButton(Text(control.text), client);
      // A focused button takes Enter; only a default button takes it from elsewhere.
      button->setAutoDefault(true);
      button->setDefault((style & res::kDefaultButton) != 0);
      widget = button;
      break;
    }
    case Kind::kDropDownList: {
      auto* combo = new QComboBox(client);
      combo->setEditable(false);
      widget = combo;
      break;
    }
    case Kind::kEtchedLine: {
      auto* line = new QFrame(client);
      line->setFrameShape(QFrame::HLine);
      line->setFrameShadow(QFrame::Sunken);
      widget = line;
      break;
    }
    case Kind::kProgressBar: {
      auto* bar = new QProgressBar(client);
      bar->setTextVisible(false);
      bar->setRange(0, 100);
      bar->setValue(0);
      widget = bar;
      break;
    }
    case Kind::kIcon: {
      auto* icon = new QLabel(client);
      icon->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      if (style & res::kAppIcon) icon->setPixmap(AppIcon().pixmap(32, 32));
      widget = icon;
      break;
    }
  }

  QRect rect = units.ToPixels(control.x, control.y, control.cx, control.cy);
  if (control.kind == Kind::kDropDownList) {
    // The template's height includes the dropped list; the closed list is as tall as
    // the platform draws it.
    auto* combo = static_cast<QComboBox*>(widget);
    const int closed = combo->sizeHint().height();
    const int itemHeight = std::max(1, QFontMetrics(combo->font()).height() + 4);
    combo->setMaxVisibleItems(std::max(1, (rect.height() - closed) / itemHeight + 1));
    rect.setHeight(closed);
  } else if (control.kind == Kind::kEtchedLine) {
    rect.setHeight(std::max(rect.height(), 2));
  } else if (control.kind == Kind::kIcon) {
    rect.setSize(rect.size().expandedTo(QSize(32, 32)));
  }
  widget->setGeometry(rect);

  const bool tabStop = (style & res::kTabStop) != 0;
  if (control.kind == Kind::kLabel || control.kind == Kind::kGroupBox ||
      control.kind == Kind::kEtchedLine || control.kind == Kind::kProgressBar ||
      control.kind == Kind::kIcon) {
    widget->setFocusPolicy(Qt::NoFocus);
  } else {
    widget->setFocusPolicy(tabStop ? Qt::StrongFocus : Qt::ClickFocus);
  }
  if (style & res::kHidden) widget->hide();
  if (control.id != res::id::kNone) widget->setObjectName(ControlName(control.id));
  return widget;
}

}  // namespace

void PaintAppIcon(QPainter& p, int size) {
  // A chip in a socket with a downward arrow: writing into the device.
  const qreal s = size;
  p.setRenderHint(QPainter::Antialiasing, true);
  const QRectF body(s * 0.22, s * 0.16, s * 0.56, s * 0.68);
  const int pins = size >= 32 ? 4 : 3;
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xB0, 0xB7, 0xC0));
  for (int i = 0; i < pins; ++i) {
    const qreal y = body.top() + body.height() * (i + 0.5) / pins - s * 0.04;
    p.drawRect(QRectF(s * 0.08, y, s * 0.14, s * 0.08));
    p.drawRect(QRectF(s * 0.78, y, s * 0.14, s * 0.08));
  }
  p.setBrush(QColor(0x2B, 0x33, 0x3D));
  p.drawRoundedRect(body, s * 0.06, s * 0.06);
  p.setBrush(QColor(0x55, 0x5F, 0x6B));
  p.drawEllipse(QPointF(body.left() + s * 0.1, body.top() + s * 0.1), s * 0.04, s * 0.04);
  QPainterPath arrow;
  const qreal cx = s * 0.5;
  arrow.moveTo(cx - s * 0.08, s * 0.26);
  arrow.lineTo(cx + s * 0.08, s * 0.26);
  arrow.lineTo(cx + s * 0.08, s * 0.48);
  arrow.lineTo(cx + s * 0.18, s * 0.48);
  arrow.lineTo(cx, s * 0.70);
  arrow.lineTo(cx - s * 0.18, s * 0.48);
  arrow.lineTo(cx - s * 0.08, s * 0.48);
  arrow.closeSubpath();
  p.setBrush(QColor(0xF2, 0xA9, 0x00));
  p.drawPath(arrow);
}

DialogUnits UnitsFor(const QFont& font) {
  const QFontMetrics metrics(font);
  DialogUnits units;
  const int alphabet = metrics.horizontalAdvance(QString::fromLatin1(kAlphabet));
  const int letters = static_cast<int>(std::strlen(kAlphabet));
  units.baseX = std::max(1, (alphabet / (letters / 2) + 1) / 2);
  units.baseY = std::max(1, metrics.height());
  return units;
}

QFont DialogFont(const res::DialogTemplate& dialog) {
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  const QString family = QString::fromUtf8(dialog.fontFamily);
  QStringList families{family};
  if (family == QStringLiteral("MS Sans Serif")) {
    families = QStringList{QStringLiteral("MS Shell Dlg 2"), font.family()};
  } else if (family == QStringLiteral("Times New Roman")) {
    families << QStringLiteral("Liberation Serif") << QStringLiteral("DejaVu Serif")
             << QStringLiteral("serif");
    font.setStyleHint(QFont::Serif);
  } else {
    families << QStringLiteral("MS PGothic") << QStringLiteral("Noto Sans CJK JP") << font.family();
  }
  font.setFamilies(families);
  font.setPointSize(dialog.pointSize);
  return font;
}

std::map<int, QWidget*> BuildControls(QWidget* client, const res::DialogTemplate& dialog) {
  client->setFont(DialogFont(dialog));
  const DialogUnits units = UnitsFor(client->font());
  client->setFixedSize(units.X(dialog.cx), units.Y(dialog.cy));
  std::map<int, QWidget*> controls;
  QWidget* previous = nullptr;
  for (const res::ControlTemplate& control : dialog.controls) {
    QWidget* widget = MakeControl(client, control, units);
    if (control.id != res::id::kNone) controls[control.id] = widget;
    if (widget->focusPolicy() != Qt::NoFocus) {
      if (previous) QWidget::setTabOrder(previous, widget);
      previous = widget;
    }
  }
  return controls;
}

QIcon AppIcon() {
  QIcon icon;
  for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    PaintAppIcon(painter, size);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace otp::ui
