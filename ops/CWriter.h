#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <istream>
#include <string>

#include "chip/ChipTable.h"
#include "core/Clock.h"
#include "core/OperationView.h"
#include "core/Report.h"
#include "hexfile/FlashBuffer.h"
#include "link/SerialPort.h"
#include "link/TargetLink.h"

namespace otp {

/// The writer: the selected model's constants, the link, the program image and the
/// operations on the target. It shows everything on the view and the reporter it was
/// given and knows nothing of windows.
class CWriter {
 public:
  CWriter(OperationView& view, Reporter& reporter, Clock& clock);

  /// The selected model's row of the chip table.
  ChipSpec spec = ChipSpec::Unselected();
  /// The program's folder, ending with a separator: the monitor files lie there.
  std::string m_strModuleDir;
  /// The image decoded from the S-record file by the last Program+Verify or Read+Compare.
  FlashImage FlashBuffer{};
  /// The link to the target board.
  TargetLink link;

  /// Download: opens `device` at the bit rate of speed entry `rate`, asks for the board's
  /// reset, loads the monitor and reports " Download  OK !!". True on success; after a
  /// failure (already reported) the link is closed.
  bool Download(SerialPortFactory& ports, const std::string& device, int rate);

  /// Reads the OTP area and stops at the first byte that is not 0xFF.
  void BlankCheck();

  /// Program+Verify as its button starts it: the bar, the image from `hexFile`, then
  /// ProgramVerify when the image could be built and holds data.
  void RunProgramVerify(const std::string& hexFile);
  /// The same with the image text already open as `image`.
  void RunProgramVerify(std::istream& image);
  /// Read+Compare as its button starts it, likewise.
  void RunReadCompare(const std::string& hexFile);

  /// What an image is built for: programming needs at least one data byte, since a file
  /// without any (a failed build's empty output) would otherwise "program" nothing and
  /// pass.
  enum class ImageUse { kCompare, kProgram };
  /// Builds FlashBuffer from `hexFile` over the OTP area. A failure is shown in a box
  /// with the decoder's caption and gives false.
  bool MakeFlashBuffer(const std::string& hexFile, ImageUse use = ImageUse::kCompare);
  /// The same from text already open.
  bool MakeFlashBuffer(std::istream& image, ImageUse use = ImageUse::kCompare);

  /// Programs every block of FlashBuffer in the OTP area that is not all 0xFF.
  void ProgramVerify();

  /// Reads the OTP area and stops at each byte that differs from FlashBuffer until the
  /// operator presses Continue or Cancel. Ends with " NG !!" when any byte differed.
  void ReadCompare();

  /// Time between two checks of the buttons while Read+Compare waits at a difference.
  static constexpr std::chrono::milliseconds kDifferencePoll{50};

 private:
  enum class BlockRead { kDone, kAgain, kStop };
  using BlockAnswer = std::array<std::uint8_t, 257>;

  /// Reads one block: read-block command, 257-byte answer, the question after a short
  /// answer (`caption`), the checksum test.
  BlockRead ReadBlock(std::uint32_t address, BlockAnswer& answer, const char* caption);
  /// Reads the blocks of the OTP area in turn, a cancel test before each, and hands each
  /// good answer to `examine`, which returns false to stop. True when every block was
  /// examined; false when the operation ended (reported, or stopped by the operator).
  bool ReadEachBlock(const char* canceled, const char* caption,
                     const std::function<bool(std::uint32_t, const BlockAnswer&)>& examine);
  void SetBlockRange();
  /// Shows the outcome of a load; true when FlashBuffer can be used for `use`.
  bool AcceptImage(const ImageResult& result, ImageUse use);

  OperationView& view_;
  Reporter& reporter_;
  Clock& clock_;
};

}  // namespace otp
