#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace otp {

/// Decodes one S1, S2 or S3 line (without its line end) into `bytes`: the count, the
/// address, the data and the checksum, one byte per pair of upper-case hexadecimal digits
/// after the type character, at most 256 pairs (a single trailing digit and anything after
/// the 256th pair are ignored).
///
/// Accepts the line when every character after the type is a digit 0-9 or A-F, the count
/// equals the pairs that follow it, the count is at least 4, 5 or 6 for S1, S2 or S3, and
/// the 8-bit sum of all count + 1 bytes is 0xFF. Then stores the unsigned load address and
/// the index of the first data byte (3, 4 or 5) and returns the number of data bytes (at
/// least 1). Returns 0 for every rejected line, leaving `address` and `dataOffset` alone.
/// Never touches `bytes` outside its 256 entries; the character at position 0 is not
/// looked at.
int DecodeSRecord(std::string_view line, std::span<std::uint8_t, 256> bytes, std::uint32_t& address,
                  int& dataOffset);

}  // namespace otp
