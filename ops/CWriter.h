#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <istream>
#include <optional>
#include <string>

#include "chip/ChipTable.h"
#include "core/Clock.h"
#include "core/OperationView.h"
#include "core/Report.h"
#include "hexfile/FlashBuffer.h"
#include "hexfile/ImageFile.h"
#include "link/SerialPort.h"
#include "link/TargetLink.h"
#include "ops/Outcome.h"
#include "ops/Plan.h"

namespace otp {

/// How an operation ended, for a face that needs more than what the operator was shown.
enum class Outcome {
  kOk,          // the verdict OK: done, blank, equal
  kNotGood,     // a finding: a byte that is not blank, a device that differs from the image
  kFailed,      // an error report was made (the link is closed)
  kStopped,     // the operator declined to read a block again after a short answer
  kNoImage,     // nothing was sent: the image could not be built (its box was shown), or
                // what the face keeps before a part is burned (its journal) failed
  kCanceled,    // the operator cancelled
  kNoResetLine  // a DTR reset was asked for on a port without modem lines
};

/// How the board is reset before the handshake of a Download.
struct ResetMethod {
  enum class Kind {
    kPrompt,  // the operator presses the board's button and then OK in a message box
    kNone,    // the board is ready: the handshake follows at once
    kDtr,     // the board's reset is wired to DTR: drop it for `dtrPulse`, then raise it
    kFound,   // a fixture found a fresh board: the link is open and the board has
              // answered the handshake; the download command follows at once
  };
  Kind kind = Kind::kPrompt;
  std::chrono::milliseconds dtrPulse{100};
};

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
  /// The folders that a monitor file is looked for in, in order; empty: m_strModuleDir.
  std::vector<std::string> monitorDirs;
  /// The image decoded from the S-record file by the last Program+Verify or Read+Compare.
  FlashImage FlashBuffer{};
  /// The link to the target board.
  TargetLink link;

  /// Download: opens `device` at the bit rate of speed entry `rate`, has the board reset,
  /// loads the monitor and reports " Download  OK !!". After a failure (already reported,
  /// but for kNoResetLine) the link is closed.
  Outcome Download(SerialPortFactory& ports, const std::string& device, int rate,
                   ResetMethod reset = {});

  /// Reads the OTP area and stops at the first byte that is not 0xFF.
  Outcome BlankCheck();

  /// Program+Verify as its button starts it: the bar, the image from `hexFile`, then
  /// ProgramVerify when the image could be built and holds data.
  Outcome RunProgramVerify(const std::string& hexFile);
  /// The same with the image text already open as `image`.
  Outcome RunProgramVerify(std::istream& image);
  /// Program+Verify of the image that FlashBuffer holds, with the bar; with a plan, only
  /// the blocks that it says still need programming.
  Outcome RunProgramVerify(const BurnPlan* plan);
  /// Read+Compare as its button starts it, likewise.
  Outcome RunReadCompare(const std::string& hexFile);
  /// Read+Compare against the image that FlashBuffer holds, with the bar.
  Outcome RunReadCompare();

  /// What an image is built for: programming needs at least one data byte, since a file
  /// without any (a failed build's empty output) would otherwise "program" nothing and
  /// pass.
  enum class ImageUse { kCompare, kProgram };
  /// Builds FlashBuffer from `hexFile` over the OTP area. A failure is shown in a box
  /// with the decoder's caption and gives false.
  bool MakeFlashBuffer(const std::string& hexFile, ImageUse use = ImageUse::kCompare);
  /// The same from text already open.
  bool MakeFlashBuffer(std::istream& image, ImageUse use = ImageUse::kCompare);

  /// Programs every block of FlashBuffer in the OTP area that is not all 0xFF; with a
  /// plan, only the blocks that it says still need programming.
  Outcome ProgramVerify(const BurnPlan* plan = nullptr);

  /// The burn plan: reads the OTP area once and classifies every block of FlashBuffer
  /// against it, then reports " Plan  OK !!" with the counts, or " Plan  NG !!" with the
  /// counts and the first conflict as a warning (the link stays open).
  Outcome CheckAgainstDevice(BurnPlan& plan);
  /// The same as its menu command starts it: the bar, the image from `hexFile`, the plan.
  Outcome RunCheckAgainstDevice(const std::string& hexFile, BurnPlan& plan);

  /// Reads the OTP area and stops at each byte that differs from FlashBuffer until the
  /// operator presses Continue or Cancel. Ends with " NG !!" when any byte differed.
  Outcome ReadCompare();

  /// Reads the whole OTP area into `device` (addresses outside it are left alone), with
  /// the block bar; reports only failures and a cancel (`canceled`). With `onlyImage`,
  /// only the blocks that `reading` says (the others stay as they were in `device`).
  Outcome ReadDevice(FlashImage& device, const char* canceled = "Read Canceled",
                     bool onlyImage = false);

  /// Reads the OTP area and writes it to `path` in `format` (records all 0xFF left out
  /// with `skipBlank`), replacing the file only once it is complete; reports
  /// " Read to file  OK !!" with the file's name, or " Read to file  NG !!" with the
  /// reason the file could not be written (a warning: the link stays open).
  Outcome ReadDeviceToFile(const std::string& path, ImageFormat format, bool skipBlank);

  /// Blocks whose data the last ProgramVerify sent: from the first one on, the part may
  /// hold part of the image.
  int programBlocksSent = 0;
  /// The block whose programming failed in the last ProgramVerify.
  std::optional<std::uint32_t> failedBlock;
  /// Runs before the first program block is sent; when it returns false nothing is sent
  /// and ProgramVerify ends with kNoImage (a face that must keep a record first).
  std::function<bool()> beforeFirstProgramBlock;
  /// The monitor file is opened by its full path and the current folder stays as it is
  /// (the window makes the monitor's folder the current one, as it always did).
  bool keepWorkingFolder = false;

  /// Where a Hex File whose name ends in ".bin" is placed: unset, such a file is read as
  /// text like any other (the window's rule); set, its bytes go from this address on.
  std::optional<std::uint32_t> binaryBase;

  /// What the burn plan and Read+Compare read of the part: the whole OTP area (the
  /// window's way), or only the blocks that FlashBuffer holds data in (the image and its
  /// serial number), the others left unread.
  ReadMode reading = ReadMode::kArea;
  /// The blocks of the OTP area that the plan and Read+Compare read now.
  int BlocksRead() const;

  /// Time between two checks of the buttons while Read+Compare waits at a difference.
  static constexpr std::chrono::milliseconds kDifferencePoll{50};

 private:
  enum class BlockRead { kDone, kAgain, kFailed, kDeclined };
  using BlockAnswer = std::array<std::uint8_t, 257>;
  /// Looks at one block's answer: nothing to go on with the next block, else how the
  /// operation ends.
  using Examine = std::function<std::optional<Outcome>(std::uint32_t, const BlockAnswer&)>;

  /// Reads one block: read-block command, 257-byte answer, the question after a short
  /// answer (`caption`), the checksum test.
  BlockRead ReadBlock(std::uint32_t address, BlockAnswer& answer, const char* caption);
  /// Reads the blocks of the OTP area in turn (with `onlyImage`, only those that
  /// FlashBuffer holds data in), a cancel test before each, and hands each good answer to
  /// `examine`. kOk when every block was examined.
  Outcome ReadEachBlock(const char* canceled, const char* caption, const Examine& examine,
                        bool onlyImage = false);
  /// Whether the block at `address` is one that the plan and Read+Compare read.
  bool Reads(std::uint32_t address) const;
  void SetBlockRange(int blocks = 0);
  /// Shows the outcome of a load; true when FlashBuffer can be used for `use`.
  bool AcceptImage(const ImageResult& result, ImageUse use);

  OperationView& view_;
  Reporter& reporter_;
  Clock& clock_;
};

}  // namespace otp
