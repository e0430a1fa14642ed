#include "link/TargetLink.h"

#include "link/Protocol.h"

namespace otp {

namespace {

// What a status byte means where it was received; a value not listed is a communication
// error everywhere.
struct StatusRow {
  std::uint8_t status;
  unsigned reply;
  unsigned download;
  unsigned program;
};
constexpr StatusRow kStatusTable[] = {
    {proto::kStatusAccepted, 0, 0, 0},
    {proto::kStatusChecksum, msg::kSumError, msg::kSumError, msg::kSumError},
    {proto::kNoReply, msg::kCommunicationError, msg::kCommunicationError, msg::kTimeoutError},
    {proto::kStatusDevice, msg::kDeviceError, msg::kDownloadError, msg::kDeviceError},
};

}  // namespace

unsigned StatusMessage(StatusContext context, std::uint8_t status) {
  for (const StatusRow& row : kStatusTable) {
    if (row.status != status) continue;
    switch (context) {
      case StatusContext::kReply:
        return row.reply;
      case StatusContext::kDownloadStatus:
        return row.download;
      case StatusContext::kProgramStatus:
        return row.program;
    }
  }
  return msg::kCommunicationError;
}

TargetLink::TargetLink(Reporter& reporter, Clock& clock) : reporter_(reporter), clock_(clock) {}

bool TargetLink::OpenLink(SerialPortFactory& ports, const std::string& device,
                          std::optional<std::int32_t> baud) {
  Close();
  m_hComm = device.empty() ? nullptr : ports.Open(device);
  if (!m_hComm) {
    reporter_.ReportResult(msg::kOpenComPort, kError, kNoVerdict);
    return false;
  }
  // A speed entry without a bit rate never reaches the port: the setting is refused.
  const SerialPort::ConfigResult result =
      baud ? m_hComm->Configure(*baud) : SerialPort::ConfigResult::kSettingRejected;
  switch (result) {
    case SerialPort::ConfigResult::kOk:
      return true;
    case SerialPort::ConfigResult::kInfoUnavailable:
      reporter_.ReportResult(msg::kGainComPortInfo, kError, kNoVerdict);
      break;
    case SerialPort::ConfigResult::kSettingRejected:
      reporter_.ReportResult(msg::kChangeComPortSetting, kError, kNoVerdict);
      break;
  }
  Close();
  return false;
}

ReadResult TargetLink::Read(std::uint8_t* buffer, std::size_t count) {
  if (!m_hComm) return ReadResult{false, 0};
  return m_hComm->Read(buffer, count);
}

std::size_t TargetLink::Write(const std::uint8_t* data, std::size_t count) {
  return m_hComm ? m_hComm->Write(data, count) : 0;
}

void TargetLink::Purge(bool transmit, bool receive) {
  if (m_hComm) m_hComm->Purge(transmit, receive);
}

bool TargetLink::PulseDtr(std::chrono::milliseconds pulse) {
  if (!m_hComm || !m_hComm->SetDtr(false)) return false;
  clock_.Sleep(pulse);
  return m_hComm->SetDtr(true);
}

SyncResult TargetLink::SyncTarget() {
  Write(&proto::kHandshake, 1);
  std::uint8_t reply = 0;
  if (Read(&reply, 1).count == 0) return SyncResult::kNoAnswer;
  return reply == proto::kHandshakeReply ? SyncResult::kAnswered : SyncResult::kWrongAnswer;
}

SyncResult TargetLink::LookForBoard(std::chrono::milliseconds answer) {
  if (!m_hComm) return SyncResult::kNoAnswer;
  m_hComm->Write(&proto::kHandshake, 1);
  std::uint8_t reply = 0;
  const ReadResult read = m_hComm->ReadWithin(&reply, 1, answer);
  if (!read.ok) {  // the port went away (an adapter unplugged): opened again later
    Close();
    return SyncResult::kNoAnswer;
  }
  m_hComm->Purge(true, true);
  if (read.count == 0) return SyncResult::kNoAnswer;
  return reply == proto::kHandshakeReply ? SyncResult::kAnswered : SyncResult::kWrongAnswer;
}

std::uint8_t TargetLink::SendCommand(unsigned command, std::uint16_t address,
                                     std::uint16_t length) {
  const auto commandByte = static_cast<std::uint8_t>(command);
  const std::uint8_t tag =
      commandByte == proto::kCmdReadBlock ? proto::kTagReadBlock : proto::kTagOther;
  const auto frame = proto::BuildFrame(commandByte, address, length);
  Write(frame.data(), frame.size());
  std::uint8_t reply = 0;
  if (Read(&reply, 1).count == 0) {
    reporter_.ReportResult(msg::kTimeoutError, kError, kNoVerdict);
    return proto::kNoReply;
  }
  // The tag is tested before the status.
  if ((reply & 0xF0) != tag) {
    reporter_.ReportResult(msg::kCoordinationError, kError, kNoVerdict);
    return reply;
  }
  if (const unsigned id = StatusMessage(StatusContext::kReply, reply & 0x0F)) {
    reporter_.ReportResult(id, kError, kNoVerdict);
  }
  return reply;
}

std::uint8_t TargetLink::WriteBlock(const std::uint8_t* data) {
  const std::uint8_t sum = proto::Checksum(data, proto::kBlockSize);
  Write(data, proto::kBlockSize);
  Write(&sum, 1);
  // The wait counts whole seconds, as a calendar clock would, but of the monotonic clock,
  // so that a step of the wall clock neither stretches it nor ends it early. At least one
  // read; the limit is tested only after a read. A zero byte cannot be told from none and
  // is skipped.
  const std::int64_t start = clock_.WholeSeconds();
  std::int64_t elapsed = 0;
  std::uint8_t status = 0;
  while (status == 0 && elapsed <= 2) {
    bool failed = false;
    status = ReadReplyByte(&failed);
    elapsed = clock_.WholeSeconds() - start;
    if (failed && endWaitOnReadFailure_) return proto::kNoReply;
  }
  return elapsed > 2 ? proto::kNoReply : status;
}

std::uint8_t TargetLink::ReadReplyByte(bool* failed) {
  std::uint8_t byte = 0;
  const ReadResult result = Read(&byte, 1);
  if (failed) *failed = !result.ok;
  if (!result.ok) reporter_.ReportResult(msg::kComPortReadError, kError, kNoVerdict);
  return result.count == 1 ? byte : 0;
}

}  // namespace otp
