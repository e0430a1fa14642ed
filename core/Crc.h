#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace otp {

/// CRC-32 (ISO-HDLC, the one of zip and PNG) of `size` bytes at `data`.
std::uint32_t Crc32(const std::uint8_t* data, std::size_t size);

/// CRC-32C (Castagnoli, the one of iSCSI and ext4's metadata) of `text`: it finds every
/// error of up to three bits in lines as long as a journal's.
std::uint32_t Crc32c(std::string_view text);

}  // namespace otp
