#pragma once

#include <QFrame>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/Catalogue.h"
#include "ops/Outcome.h"
#include "ui/BlockMap.h"

class QLabel;

namespace otp::ui {

/// What one port's tile shows: filled by the station as its unit goes, shown as it is.
struct TileState {
  enum class Look {
    kWaiting,  // no unit: press Start, or put the next board in
    kWorking,  // a unit goes on
    kEnded,    // a unit ended: its outcome says what to do with the part
  };
  std::string port;
  std::string device;
  Look look = Look::kWaiting;
  std::optional<UnitOutcome> outcome;  // kEnded
  std::string state;                   // "Press Start", "Download", ... (the operator's language)
  std::string instruction;             // kEnded: what the operator does with the part
  std::optional<std::uint64_t> serial;
  std::string serialState;  // shown when the unit did not pass: released, spoiled
  int done = 0;
  int total = 0;
  std::vector<BlockMark> blocks = std::vector<BlockMark>(64, BlockMark::kUnknown);
  std::string report;      // why the unit did not pass, as the system says it
  std::string difference;  // the first difference, as a line
  double seconds = 0;
};

/// A result or a number's state as the store keeps it ("pass", "spoiled", ...), in the
/// operator's language.
std::string RecordWord(Language language, const std::string& word);

/// One port of the station window: its name and device, the outcome in large letters
/// with its mark on its own colour (PASS green, FAIL red, STOPPED grey-blue, ALREADY
/// PROGRAMMED teal, WRONG PART orange, BOARD GONE and PORT PROBLEM amber and striped;
/// amber while working, grey while waiting), what the operator does with the part, the
/// serial number, a progress bar, the 64 blocks, and why a unit did not pass. Every part is
/// exposed to screen readers and test drivers under a name that says the port.
class StationTile final : public QFrame {
 public:
  StationTile(const std::string& port, Language language, QWidget* parent = nullptr);

  void Show(const TileState& state);
  const TileState& shown() const { return shown_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  void Fit();
  void ShowName(const TileState& state);
  // The instruction and the report in the lines their room holds, the last one shortened
  // with an ellipsis when they are longer (their whole text is the accessible one).
  void FitTexts();
  bool eventFilter(QObject* watched, QEvent* event) override;

  Language language_;
  TileState shown_;
  QLabel* name_;
  QLabel* verdict_;
  QLabel* instruction_;
  QLabel* serial_;
  class Bar;
  Bar* progress_;
  BlockMap* map_;
  QLabel* report_;
  QString instructionText_;
  QString reportText_;
};

}  // namespace otp::ui
