#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace otp::test {

/// An S-record line of `type` ('1', '2' or '3') for `data` at `address`, with the right
/// count and checksum unless told otherwise.
inline std::string Record(char type, std::uint32_t address, const std::vector<std::uint8_t>& data,
                          int countAdjust = 0, int sumAdjust = 0) {
  const int addressBytes = type == '1' ? 2 : type == '2' ? 3 : 4;
  std::vector<std::uint8_t> bytes;
  bytes.push_back(static_cast<std::uint8_t>(addressBytes + data.size() + 1 + countAdjust));
  for (int i = addressBytes - 1; i >= 0; --i) {
    bytes.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
  }
  bytes.insert(bytes.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (const std::uint8_t b : bytes)
    sum += b;
  bytes.push_back(static_cast<std::uint8_t>(~sum + sumAdjust));
  std::string line = std::string("S") + type;
  char hex[3];
  for (const std::uint8_t b : bytes) {
    std::snprintf(hex, sizeof(hex), "%02X", b);
    line += hex;
  }
  return line;
}

}  // namespace otp::test
