#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/Clock.h"
#include "core/Report.h"
#include "link/SerialPort.h"

namespace otp {

/// Outcome of the handshake.
enum class SyncResult : std::uint8_t {
  kAnswered = 0,     // the target answered 0x11
  kWrongAnswer = 1,  // another byte came
  kNoAnswer = 2,     // no byte came
};

/// Where a status byte of the target was received: it decides what the byte means.
enum class StatusContext {
  kReply,           // the low four bits of the reply to a command frame
  kDownloadStatus,  // the whole byte after the monitor stream
  kProgramStatus,   // WriteBlock's result after a program block (kNoReply: none in time)
};

/// The catalogue message for a status, 0 for success: one table for every place.
unsigned StatusMessage(StatusContext context, std::uint8_t status);

/// The link to the target board: the open port (`m_hComm`, null when closed) and the byte
/// protocol on it. Functions that detect a failure themselves report it through the
/// reporter; an error report closes the link (through the reporter's return to idle), so
/// every function looks the port up anew and treats a closed link as a failed call.
class TargetLink {
 public:
  TargetLink(Reporter& reporter, Clock& clock);

  bool IsOpen() const { return m_hComm != nullptr; }
  /// Closes the port if one is open; the link is closed afterwards.
  void Close() { m_hComm.reset(); }
  /// Takes a port opened and configured by the caller as the link's.
  void Adopt(std::unique_ptr<SerialPort> port) { m_hComm = std::move(port); }

  /// Closes an open port, opens `device` and configures it for `baud`. Failures are
  /// reported (220 open, 223 settings unreadable, 224 setting refused, also for a missing
  /// bit rate) and give false; the error report has closed the link by then.
  bool OpenLink(SerialPortFactory& ports, const std::string& device,
                std::optional<std::int32_t> baud);

  /// Handshake: writes 0x18 and reads the answer.
  SyncResult SyncTarget();
  /// A look for a freshly powered board: the handshake byte, an answer awaited for at
  /// most `answer`, then both buffers emptied (whatever else came is no reply). Reports
  /// nothing; kAnswered only for 0x11. A port whose read fails is closed.
  SyncResult LookForBoard(std::chrono::milliseconds answer);
  /// Sends a command frame and returns the reply byte, or kNoReply when none came.
  /// Reports every reply but the accepted one (0x01; 0x21 for the read-block command).
  std::uint8_t SendCommand(unsigned command, std::uint16_t address, std::uint16_t length);
  /// Sends a 256-byte block and its checksum, then waits for the status byte, counting
  /// whole seconds of the monotonic clock. Returns the status, or kNoReply when none came
  /// in time.
  std::uint8_t WriteBlock(const std::uint8_t* data);
  /// Reads one byte; 0 when none came. A failed read call is reported (262); `failed`,
  /// when given, tells it.
  std::uint8_t ReadReplyByte(bool* failed = nullptr);

  /// With true, a status wait ends at its first failed read: one report 262, then the
  /// wait's end (a line that is gone fails every further read at once, and a face without
  /// an operator to acknowledge each report would repeat it as fast as the CPU allows).
  /// The window keeps the wait as it is: there each report waits for the operator.
  void SetEndWaitOnReadFailure(bool end) { endWaitOnReadFailure_ = end; }

  /// Raw transfers on the link; on a closed link a read fails and a write sends nothing.
  ReadResult Read(std::uint8_t* buffer, std::size_t count);
  std::size_t Write(const std::uint8_t* data, std::size_t count);
  void Purge(bool transmit, bool receive);

  /// Resets a board whose reset is wired to DTR: drops DTR for `pulse`, then raises it.
  /// False when the link is closed or the port has no modem lines.
  bool PulseDtr(std::chrono::milliseconds pulse);

 private:
  Reporter& reporter_;
  Clock& clock_;
  std::unique_ptr<SerialPort> m_hComm;
  bool endWaitOnReadFailure_ = false;
};

}  // namespace otp
