#include "ui/StationTile.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPainter>
#include <QResizeEvent>
#include <QTextLayout>
#include <QVBoxLayout>
#include <cstdio>

#include "core/Texts.h"

namespace otp::ui {

namespace {

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

struct Colours {
  const char* background;
  const char* text;
};

Colours ColoursOf(const TileState& state) {
  switch (state.look) {
    case TileState::Look::kWorking:
      return {"#F2B01E", "#1A1A1A"};
    case TileState::Look::kWaiting:
      return {"#B8BCC2", "#1A1A1A"};
    case TileState::Look::kEnded:
      break;
  }
  switch (state.outcome.value_or(UnitOutcome::kFail)) {
    case UnitOutcome::kPass:
      return {"#2E7D32", "#FFFFFF"};
    case UnitOutcome::kFail:
      return {"#C62828", "#FFFFFF"};
    case UnitOutcome::kStopped:
      return {"#546E8A", "#FFFFFF"};
    case UnitOutcome::kAlreadyProgrammed:
      return {"#00796B", "#FFFFFF"};
    case UnitOutcome::kWrongPart:
      return {"#E65100", "#FFFFFF"};
    case UnitOutcome::kBoardGone:
    case UnitOutcome::kPortProblem:
      return {"#F2B01E", "#1A1A1A"};
  }
  return {"#B8BCC2", "#1A1A1A"};
}

// Each outcome's own mark, so that colour is not all that tells them apart.
const char* MarkOf(UnitOutcome outcome) {
  switch (outcome) {
    case UnitOutcome::kPass:
      return "\u2714";  // heavy check mark
    case UnitOutcome::kFail:
      return "\u2716";  // heavy cross
    case UnitOutcome::kStopped:
      return "\u25A0";  // square
    case UnitOutcome::kAlreadyProgrammed:
      return "\u25C6";  // diamond
    case UnitOutcome::kWrongPart:
      return "\u25B2";  // triangle
    case UnitOutcome::kBoardGone:
      return "?";
    case UnitOutcome::kPortProblem:
      return "!";
  }
  return "";
}

// A tile whose part is unknown wears stripes over its amber: it is not at work.
bool Striped(const TileState& state) {
  return state.look == TileState::Look::kEnded &&
         (state.outcome == UnitOutcome::kBoardGone || state.outcome == UnitOutcome::kPortProblem);
}

}  // namespace

std::string RecordWord(Language language, const std::string& word) {
  if (word == "pass") return Tr(language, "pass");
  if (word == "fail") return Tr(language, "fail");
  if (word == "interrupted") return Tr(language, "interrupted");
  if (word == "used") return Tr(language, "used");
  if (word == "released") return Tr(language, "released");
  if (word == "spoiled") return Tr(language, "spoiled");
  return word;
}

// A plain bar: a style's progress bar animates itself many times a second, which a tile
// that is painted as a person sees has no use for.
class StationTile::Bar final : public QWidget {
 public:
  explicit Bar(QWidget* parent) : QWidget(parent) { setFixedHeight(10); }
  void Set(int done, int total) {
    if (done == done_ && total == total_) return;
    done_ = done;
    total_ = total;
    setAccessibleDescription(QString("%1/%2").arg(done).arg(total));
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const QRect whole = rect().adjusted(0, 0, -1, -1);
    painter.fillRect(whole, QColor(255, 255, 255, 170));
    if (total_ > 0) {
      const int width = whole.width() * std::clamp(done_, 0, total_) / total_;
      painter.fillRect(QRect(whole.left(), whole.top(), width, whole.height()),
                       QColor(0x1F, 0x4E, 0x9A));
    }
    painter.setPen(QColor(0, 0, 0, 90));
    painter.drawRect(whole);
  }

 private:
  int done_ = -1;
  int total_ = -1;
};

StationTile::StationTile(const std::string& port, Language language, QWidget* parent)
    : QFrame(parent), language_(language) {
  setObjectName(Q("tile-" + port));
  setAccessibleName(Q(port));
  setFrameShape(QFrame::NoFrame);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(10, 6, 10, 8);
  layout->setSpacing(3);
  name_ = new QLabel(this);
  name_->setObjectName("port");
  verdict_ = new QLabel(this);
  verdict_->setObjectName("verdict");
  verdict_->setAlignment(Qt::AlignCenter);
  instruction_ = new QLabel(this);
  instruction_->setObjectName("instruction");
  instruction_->setAlignment(Qt::AlignCenter);
  serial_ = new QLabel(this);
  serial_->setObjectName("serial");
  progress_ = new Bar(this);
  progress_->setObjectName("progress");
  map_ = new BlockMap(this);
  map_->setObjectName("blocks");
  report_ = new QLabel(this);
  report_->setObjectName("report");
  report_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  name_->setAccessibleName(Q(Tr(language, "%1 state", {port})));
  verdict_->setAccessibleName(Q(Tr(language, "%1 verdict", {port})));
  instruction_->setAccessibleName(Q(Tr(language, "%1 instruction", {port})));
  serial_->setAccessibleName(Q(Tr(language, "%1 serial number", {port})));
  progress_->setAccessibleName(Q(Tr(language, "%1 progress", {port})));
  map_->setAccessibleName(Q(Tr(language, "%1 blocks", {port})));
  report_->setAccessibleName(Q(Tr(language, "%1 report", {port})));
  // The texts change as the unit goes: none of them may make the tile lay itself out anew.
  // The one-line labels keep a fixed height (a layout gives an ignored height nothing, and
  // they would lie under their neighbours); the verdict and the report take what is left.
  for (QLabel* label : {verdict_, report_})
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
  // What the operator must read from a step away is at least 20 pixels high.
  for (QLabel* label : {instruction_, report_}) {
    QFont font = label->font();
    font.setPixelSize(std::max(20, font.pixelSize()));
    font.setBold(label == instruction_);
    label->setFont(font);
  }
  instruction_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  instruction_->setFixedHeight(2 * instruction_->fontMetrics().height() + 2);
  for (QLabel* label : {name_, serial_}) {
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    label->setFixedHeight(label->fontMetrics().height());
  }
  layout->addWidget(name_);
  layout->addWidget(verdict_, 4);
  layout->addWidget(instruction_);
  layout->addWidget(serial_);
  layout->addWidget(progress_);
  layout->addWidget(map_, 4);
  layout->addWidget(report_, 2);
  report_->installEventFilter(this);
  instruction_->installEventFilter(this);
  shown_.port = port;
  shown_.state = Tr(language, "Press Start");
  TileState first = shown_;
  shown_.state.clear();  // differs, so the first Show paints everything
  Show(first);
}

void StationTile::Show(const TileState& state) {
  // Colours through the palette, not a style sheet: a tile is painted many times a second
  // and a plain fill is what costs least.
  if (state.look != shown_.look || state.outcome != shown_.outcome || !autoFillBackground()) {
    const Colours colours = ColoursOf(state);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, QColor(colours.background));
    palette.setColor(QPalette::WindowText, QColor(colours.text));
    setPalette(palette);
    setAutoFillBackground(true);
    update();
  }
  ShowName(state);
  name_->setAccessibleDescription(Q(state.state));
  QString verdict;
  switch (state.look) {
    case TileState::Look::kEnded:
      verdict = Q(MarkOf(state.outcome.value_or(UnitOutcome::kFail))) + " " + Q(state.state);
      break;
    case TileState::Look::kWorking:
      verdict = state.total > 0
                    ? QString("%1 %2/%3").arg(Q(state.state)).arg(state.done).arg(state.total)
                    : Q(state.state);
      break;
    case TileState::Look::kWaiting:
      verdict = Q(state.state);
      break;
  }
  // "Program 12/64" and "Program 13/64" take the same room: the font is fitted anew only
  // when the look or the text's length changes.
  const bool refit = state.look != shown_.look || verdict_->text().size() != verdict.size();
  verdict_->setText(verdict);
  verdict_->setAccessibleDescription(verdict);
  const QString instruction = state.look == TileState::Look::kEnded ? Q(state.instruction) : "";
  instruction_->setAccessibleDescription(instruction);
  QString serial;
  if (state.serial) {
    serial = Q(Tr(language_, "serial %1", {std::to_string(*state.serial)}));
    if (state.look == TileState::Look::kEnded && state.outcome != UnitOutcome::kPass &&
        !state.serialState.empty()) {
      serial += " (" + Q(RecordWord(language_, state.serialState)) + ")";
    }
  }
  QString shown = serial;
  if (state.seconds > 0 && state.outcome != UnitOutcome::kPortProblem) {
    const QString seconds = QString::number(state.seconds, 'f', 1) + " s";
    // The seconds after the number, closer where the tile is narrow, left out where even
    // that does not fit: the number is what the operator must read.
    const QFontMetrics metrics(serial_->font());
    const int room = serial_->width();
    for (const char* gap : {"     ", "  "}) {
      const QString line = (serial.isEmpty() ? "" : serial + gap) + seconds;
      if (metrics.horizontalAdvance(line) <= room) {
        shown = line;
        break;
      }
    }
    serial += (serial.isEmpty() ? "" : "     ") + seconds;
  }
  serial_->setText(shown);
  serial_->setAccessibleDescription(serial);
  progress_->Set(state.done, state.total);
  map_->SetMarks(state.blocks);
  // A port that could not be opened has no unit to show: its reason takes the room.
  const bool noUnit =
      state.look == TileState::Look::kEnded && state.outcome == UnitOutcome::kPortProblem;
  progress_->setVisible(!noUnit);
  map_->setVisible(!noUnit);
  QString report = Q(state.report).trimmed();
  if (!state.difference.empty()) report += (report.isEmpty() ? "" : "\n") + Q(state.difference);
  const bool ended = state.look == TileState::Look::kEnded && state.outcome != UnitOutcome::kPass;
  const QString reportShown = ended || state.look == TileState::Look::kWaiting ? report : QString();
  report_->setAccessibleDescription(reportShown);
  report_->setToolTip(reportShown);
  if (instruction != instructionText_ || reportShown != reportText_) {
    instructionText_ = instruction;
    reportText_ = reportShown;
    FitTexts();
  }
  const bool stripes = Striped(state) != Striped(shown_);
  shown_ = state;
  if (stripes) update();
  if (refit) Fit();
}

void StationTile::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);
  if (!Striped(shown_)) return;
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(0, 0, 0, 45), 10));
  for (int x = -height(); x < width(); x += 34)
    painter.drawLine(x, height(), x + height(), 0);
}

void StationTile::resizeEvent(QResizeEvent* event) {
  QFrame::resizeEvent(event);
  ShowName(shown_);
  Fit();
  FitTexts();
}

namespace {

// `text` in the lines that `room` holds in `font`, the last one shortened with an ellipsis
// when the text is longer.
QString Fitted(const QString& text, const QFont& font, const QSize& room) {
  if (text.isEmpty() || room.width() <= 0) return text;
  const QFontMetrics metrics(font);
  const int most = std::max(1, room.height() / std::max(1, metrics.lineSpacing()));
  QString flowing = text;
  flowing.replace('\n', QChar::LineSeparator);
  QTextLayout layout(flowing, font);
  QStringList lines;
  layout.beginLayout();
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(room.width());
    if (static_cast<int>(lines.size()) == most - 1) {
      // The last line the room holds takes the rest, shortened.
      QString rest = flowing.mid(line.textStart());
      rest.replace(QChar::LineSeparator, ' ');
      lines << metrics.elidedText(rest.trimmed(), Qt::ElideRight, room.width());
      break;
    }
    QString part = flowing.mid(line.textStart(), line.textLength());
    part.remove(QChar::LineSeparator);
    lines << part.trimmed();
  }
  layout.endLayout();
  return lines.join('\n');
}

}  // namespace

bool StationTile::eventFilter(QObject* watched, QEvent* event) {
  // The report's room changes when the block map shows or hides.
  if (event->type() == QEvent::Resize && (watched == report_ || watched == instruction_))
    FitTexts();
  return QFrame::eventFilter(watched, event);
}

void StationTile::FitTexts() {
  instruction_->setText(
      Fitted(instructionText_, instruction_->font(), instruction_->contentsRect().size()));
  report_->setText(Fitted(reportText_, report_->font(), report_->contentsRect().size()));
}

// The port's name and its device, the device shortened in its middle to what the tile's
// width leaves (a stable name is long: its start and its end tell ports apart).
void StationTile::ShowName(const TileState& state) {
  QString device;
  if (!state.device.empty() && state.device != state.port) {
    QFont bold = name_->font();
    bold.setBold(true);
    const int room = name_->width() - QFontMetrics(bold).horizontalAdvance(Q(state.port) + "  ");
    device =
        "  " + name_->fontMetrics().elidedText(Q(state.device), Qt::ElideMiddle, std::max(0, room));
  }
  name_->setText("<b>" + Q(state.port).toHtmlEscaped() + "</b>" + device.toHtmlEscaped());
  name_->setToolTip(Q(state.device));
}

// The verdict is the largest thing on the screen, never smaller than 36 pixels; what a
// working or waiting tile says is as large as its width allows.
void StationTile::Fit() {
  QFont font = verdict_->font();
  font.setBold(true);
  const int tall = std::clamp(height() / 5, 36, 80);
  font.setPixelSize(tall);
  const int room = std::max(40, contentsRect().width() - 24);
  const int wide = QFontMetrics(font).horizontalAdvance(verdict_->text());
  if (wide > room) font.setPixelSize(std::max(14, tall * room / std::max(1, wide)));
  verdict_->setFont(font);
  verdict_->setMinimumHeight(tall + 8);
}

}  // namespace otp::ui
