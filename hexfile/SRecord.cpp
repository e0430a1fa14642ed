#include "hexfile/SRecord.h"

namespace otp {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int DecodeSRecord(std::string_view line, std::span<std::uint8_t, 256> bytes, std::uint32_t& address,
                  int& dataOffset) {
  const char type = line.size() > 1 ? line[1] : '\0';
  for (std::size_t i = 2; i < line.size(); ++i) {
    if (HexValue(line[i]) < 0) return 0;
  }

  std::size_t pairs = 0;
  while (pairs < bytes.size() && 3 + 2 * pairs < line.size()) {
    bytes[pairs] = static_cast<std::uint8_t>(HexValue(line[2 + 2 * pairs]) * 16 +
                                             HexValue(line[3 + 2 * pairs]));
    ++pairs;
  }
  if (pairs == 0 || bytes[0] != pairs - 1) return 0;
  const unsigned count = bytes[0];

  int addressLength = 0;
  switch (type) {
    case '1':
      addressLength = 2;
      break;
    case '2':
      addressLength = 3;
      break;
    case '3':
      addressLength = 4;
      break;
    default:
      return 0;
  }
  // At least one data byte besides the address and the checksum.
  if (count < static_cast<unsigned>(addressLength) + 2) return 0;

  unsigned sum = 0;
  for (unsigned i = 0; i <= count; ++i)
    sum += bytes[i];
  if ((sum & 0xFF) != 0xFF) return 0;

  std::uint32_t value = 0;
  for (int i = 1; i <= addressLength; ++i)
    value = (value << 8) | bytes[i];
  address = value;
  dataOffset = addressLength + 1;
  return static_cast<int>(count) - addressLength - 1;
}

}  // namespace otp
