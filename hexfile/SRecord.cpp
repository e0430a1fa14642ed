#include "hexfile/SRecord.h"

#include <algorithm>
#include <array>

namespace otp {

namespace {

// The value of an upper-case hexadecimal digit, -1 for any other character.
constexpr std::array<std::int8_t, 256> MakeHexTable() {
  std::array<std::int8_t, 256> table{};
  for (int c = 0; c < 256; ++c) {
    table[c] = -1;
    if (c >= '0' && c <= '9') table[c] = static_cast<std::int8_t>(c - '0');
    if (c >= 'A' && c <= 'F') table[c] = static_cast<std::int8_t>(c - 'A' + 10);
  }
  return table;
}
constexpr std::array<std::int8_t, 256> kHex = MakeHexTable();

int HexValue(char c) {
  return kHex[static_cast<unsigned char>(c)];
}

// The byte of two upper-case hexadecimal digits, indexed by the first one's code times
// 256 plus the second's; -1 for a pair that is not two such digits. One look-up a byte:
// a 20 MB file is mostly pairs.
const std::array<std::int16_t, 65536>& PairTable() {
  static const std::array<std::int16_t, 65536> table = [] {
    std::array<std::int16_t, 65536> t{};
    for (int high = 0; high < 256; ++high) {
      for (int low = 0; low < 256; ++low) {
        const int h = kHex[static_cast<std::size_t>(high)];
        const int l = kHex[static_cast<std::size_t>(low)];
        t[static_cast<std::size_t>(high * 256 + low)] =
            static_cast<std::int16_t>(h < 0 || l < 0 ? -1 : h * 16 + l);
      }
    }
    return t;
  }();
  return table;
}

}  // namespace

int DecodeSRecord(std::string_view line, std::span<std::uint8_t, 256> bytes, std::uint32_t& address,
                  int& dataOffset) {
  const char type = line.size() > 1 ? line[1] : '\0';
  // One pass: decode the pairs while checking every character after the type; an invalid
  // pair has the value -1, which leaves `invalid` negative.
  const char* digits = line.data() + std::min<std::size_t>(line.size(), 2);
  const std::size_t length = line.size() > 2 ? line.size() - 2 : 0;
  const std::array<std::int16_t, 65536>& pair = PairTable();
  int invalid = 0;
  unsigned sum = 0;  // of every byte: the count, the address, the data and the checksum
  std::size_t pairs = 0;
  for (; pairs < bytes.size() && 2 * pairs + 1 < length; ++pairs) {
    const int value =
        pair[static_cast<std::size_t>(static_cast<unsigned char>(digits[2 * pairs]) * 256 +
                                      static_cast<unsigned char>(digits[2 * pairs + 1]))];
    invalid |= value;
    sum += static_cast<unsigned>(value);
    bytes[pairs] = static_cast<std::uint8_t>(value);
  }
  for (std::size_t i = 2 * pairs; i < length; ++i)
    invalid |= HexValue(digits[i]);
  if (invalid < 0) return 0;

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

  // The pairs are the count's bytes and the count itself (checked above).
  if ((sum & 0xFF) != 0xFF) return 0;

  std::uint32_t value = 0;
  for (int i = 1; i <= addressLength; ++i)
    value = (value << 8) | bytes[i];
  address = value;
  dataOffset = addressLength + 1;
  return static_cast<int>(count) - addressLength - 1;
}

}  // namespace otp
