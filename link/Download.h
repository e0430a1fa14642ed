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

/// Loads the monitor into the freshly reset target: makes `moduleDir` the current folder,
/// opens `monitorFile` there, then handshake, download command, the file one byte per
/// write, its checksum and the target's status byte. Returns kDownloadDone, or 0 after a
/// failure that it has reported. The file is closed on every way out.
std::uint8_t DownloadMonitor(TargetLink& link, Reporter& reporter, const std::string& moduleDir,
                             const std::string& monitorFile, std::uint16_t downloadAddr);

}  // namespace otp
