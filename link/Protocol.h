#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace otp::proto {

// Handshake right after the board's reset.
inline constexpr std::uint8_t kHandshake = 0x18;       // host to target
inline constexpr std::uint8_t kHandshakeReply = 0x11;  // target to host

// Command bytes of the 6-byte frame.
inline constexpr std::uint8_t kCmdDownload = 0x00;      // load the monitor
inline constexpr std::uint8_t kCmdProgramBlock = 0x08;  // program 256 bytes
inline constexpr std::uint8_t kCmdReadBlock = 0x28;     // read 256 bytes and their checksum

// Reply byte: tag in the high four bits, status in the low four.
inline constexpr std::uint8_t kTagReadBlock = 0x20;  // replies to the read-block command
inline constexpr std::uint8_t kTagOther = 0x00;      // replies to every other command
inline constexpr std::uint8_t kStatusAccepted = 0x01;
inline constexpr std::uint8_t kStatusChecksum = 0x02;
inline constexpr std::uint8_t kStatusDevice = 0x04;  // device error; download error after a stream

/// What the protocol functions return when no reply came in time. Never on the line.
inline constexpr std::uint8_t kNoReply = 3;

inline constexpr std::size_t kFrameSize = 6;
inline constexpr std::size_t kBlockSize = 256;
/// A block answer: 256 data bytes and their checksum.
inline constexpr std::size_t kBlockAnswerSize = kBlockSize + 1;

/// Low 8 bits of the plain sum of the bytes.
inline std::uint8_t Checksum(const std::uint8_t* data, std::size_t count) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < count; ++i)
    sum += data[i];
  return static_cast<std::uint8_t>(sum);
}

/// A command frame: command, address and length most significant byte first, checksum.
inline std::array<std::uint8_t, kFrameSize> BuildFrame(std::uint8_t command, std::uint16_t address,
                                                       std::uint16_t length) {
  std::array<std::uint8_t, kFrameSize> frame{command,
                                             static_cast<std::uint8_t>(address >> 8),
                                             static_cast<std::uint8_t>(address & 0xFF),
                                             static_cast<std::uint8_t>(length >> 8),
                                             static_cast<std::uint8_t>(length & 0xFF),
                                             0};
  frame[5] = Checksum(frame.data(), 5);
  return frame;
}

}  // namespace otp::proto
