#include "link/TargetLink.h"

#include "link/Protocol.h"

namespace otp {

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

std::uint8_t TargetLink::SyncTarget() {
  Write(&proto::kHandshake, 1);
  std::uint8_t reply = 0;
  if (Read(&reply, 1).count == 0) return 2;
  return reply == proto::kHandshakeReply ? 0 : 1;
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
  switch (reply & 0x0F) {
    case proto::kStatusAccepted:
      break;
    case proto::kStatusChecksum:
      reporter_.ReportResult(msg::kSumError, kError, kNoVerdict);
      break;
    case proto::kStatusDevice:
      reporter_.ReportResult(msg::kDeviceError, kError, kNoVerdict);
      break;
    default:
      reporter_.ReportResult(msg::kCommunicationError, kError, kNoVerdict);
      break;
  }
  return reply;
}

std::uint8_t TargetLink::WriteBlock(const std::uint8_t* data) {
  const std::uint8_t sum = proto::Checksum(data, proto::kBlockSize);
  Write(data, proto::kBlockSize);
  Write(&sum, 1);
  // The wait runs on the whole-second calendar clock: at least one read, and the limit
  // is tested only after a read. A zero byte cannot be told from none and is skipped.
  const std::int64_t start = clock_.CalendarSeconds();
  std::int64_t elapsed = 0;
  std::uint8_t status = 0;
  while (status == 0 && elapsed <= 2) {
    status = ReadReplyByte();
    elapsed = clock_.CalendarSeconds() - start;
  }
  return elapsed > 2 ? proto::kNoReply : status;
}

std::uint8_t TargetLink::ReadReplyByte() {
  std::uint8_t byte = 0;
  const ReadResult result = Read(&byte, 1);
  if (!result.ok) reporter_.ReportResult(msg::kComPortReadError, kError, kNoVerdict);
  return result.count == 1 ? byte : 0;
}

}  // namespace otp
