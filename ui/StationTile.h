#pragma once

#include <QFrame>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/Catalogue.h"
#include "ui/BlockMap.h"

class QLabel;

namespace otp::ui {

/// What one port's tile shows: filled by the station as its unit goes, shown as it is.
struct TileState {
  enum class Look { kWaiting, kWorking, kPass, kFail };
  std::string port;
  std::string device;
  Look look = Look::kWaiting;
  std::string state;  // "Press Start", "Download", ..., "PASS", "FAIL" (the operator's language)
  std::optional<std::uint64_t> serial;
  std::string serialState;  // shown after a FAIL: released, spoiled
  int done = 0;
  int total = 0;
  std::vector<BlockMark> blocks = std::vector<BlockMark>(64, BlockMark::kUnknown);
  std::string report;      // the failing report's text
  std::string difference;  // the first difference, as a line
  double seconds = 0;
};

/// A result or a number's state as the store keeps it ("pass", "spoiled", ...), in the
/// operator's language.
std::string RecordWord(Language language, const std::string& word);

/// One port of the station window: its name and device, the verdict in large letters on
/// its colour (green PASS, red FAIL, amber working, grey waiting), the serial number, a
/// progress bar, the 64 blocks, and after a FAIL its report. Every part is exposed to
/// screen readers and test drivers under a name that says the port.
class StationTile final : public QFrame {
 public:
  StationTile(const std::string& port, Language language, QWidget* parent = nullptr);

  void Show(const TileState& state);
  const TileState& shown() const { return shown_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Fit();

  Language language_;
  TileState shown_;
  QLabel* name_;
  QLabel* verdict_;
  QLabel* serial_;
  class Bar;
  Bar* progress_;
  BlockMap* map_;
  QLabel* report_;
};

}  // namespace otp::ui
