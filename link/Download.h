#pragma once

#include <cstdint>
#include <string>

#include "core/Report.h"
#include "link/TargetLink.h"

namespace otp {

/// The request to reset the board before a Download.
inline constexpr const char* kResetPrompt =
    "Please reset the microcontroller on userboard.\nThen push OK button.";

/// What DownloadMonitor returns on success.
inline constexpr std::uint8_t kDownloadDone = '1';

/// Largest monitor file: its size travels in the 16-bit length field of the frame.
inline constexpr std::uintmax_t kMaxMonitorSize = 0xFFFF;

/// How a Download goes beyond the window's own way.
struct DownloadOptions {
  /// Make the monitor's folder the current folder first, as the window does; otherwise
  /// the file is opened by its full path and the current folder stays as it is.
  bool enterFolder = true;
  /// The board has already answered the handshake (a fixture that looked for it): the
  /// download command follows at once.
  bool handshakeDone = false;
};

/// Loads the monitor into the freshly reset target: opens `monitorFile` in `moduleDir`,
/// then handshake, download command, the file one byte per write, its checksum and the
/// target's status byte. Returns kDownloadDone, or 0 after a failure that it has
/// reported. The file is closed on every way out.
std::uint8_t DownloadMonitor(TargetLink& link, Reporter& reporter, const std::string& moduleDir,
                             const std::string& monitorFile, std::uint16_t downloadAddr,
                             DownloadOptions options = {});

}  // namespace otp
