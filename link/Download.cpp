#include "link/Download.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "core/Utf8Path.h"
#include "link/Protocol.h"

namespace otp {

std::uint8_t DownloadMonitor(TargetLink& link, Reporter& reporter, const std::string& moduleDir,
                             const std::string& monitorFile, std::uint16_t downloadAddr,
                             DownloadOptions options) {
  auto fail = [&reporter](unsigned id) {
    reporter.ReportResult(id, kError, kNoVerdict);
    return std::uint8_t{0};
  };

  std::error_code ec;
  std::filesystem::path path = PathFromUtf8(monitorFile);
  if (options.enterFolder) {
    std::filesystem::current_path(PathFromUtf8(moduleDir), ec);  // a failure shows at the open
  } else if (!monitorFile.empty()) {
    path = PathFromUtf8(moduleDir + monitorFile);
  }
  std::ifstream file;
  if (!monitorFile.empty()) file.open(path, std::ios::binary);
  if (!file.is_open()) return fail(msg::kOpenDownloadFile);

  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  // A size that does not fit the 16-bit length field would announce fewer bytes than the
  // stream carries: refused before anything is sent.
  if (ec || size > kMaxMonitorSize) return fail(msg::kGainFileSize);

  switch (options.handshakeDone ? SyncResult::kAnswered : link.SyncTarget()) {
    case SyncResult::kAnswered:
      break;
    case SyncResult::kNoAnswer:
      return fail(msg::kTimeoutError);
    case SyncResult::kWrongAnswer:
      return fail(msg::kCommunicationError);
  }

  if (link.SendCommand(proto::kCmdDownload, downloadAddr, static_cast<std::uint16_t>(size)) !=
      proto::kStatusAccepted) {
    return 0;
  }

  unsigned sum = 0;
  for (std::uintmax_t i = 0; i < size; ++i) {
    const int next = file.get();
    if (next == std::char_traits<char>::eof()) return fail(msg::kFileAccessError);
    const auto byte = static_cast<std::uint8_t>(next);
    link.Write(&byte, 1);
    sum += byte;
  }
  file.close();

  const auto checksum = static_cast<std::uint8_t>(sum);
  link.Write(&checksum, 1);

  std::uint8_t status = 0;
  if (link.Read(&status, 1).count == 0) return fail(msg::kTimeoutError);
  if (const unsigned id = StatusMessage(StatusContext::kDownloadStatus, status)) return fail(id);
  return kDownloadDone;
}

}  // namespace otp
