#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/OperationView.h"

namespace otp {

/// The program image: one byte per 16-bit target address.
using FlashImage = std::array<std::uint8_t, 0x10000>;

/// Caption of the message boxes of MakeFlashBuffer.
inline constexpr const char* kDecoderCaption = "S format decoder";

/// Builds `flash` from the S-record file `hexFile` (relative names against the current
/// folder): every byte 0xFF first, then the data of the S1, S2 and S3 records, each of
/// which must lie wholly inside `startAddr`..`endAddr`. Header, count and termination
/// records are skipped. Stops at the first bad line and shows its message, with the line
/// number, in a box on `view`; the file is closed before. True when the whole file was
/// read without error.
bool MakeFlashBuffer(const std::string& hexFile, std::int32_t startAddr, std::int32_t endAddr,
                     FlashImage& flash, OperationView& view);

}  // namespace otp
