// libFuzzer target: DecodeSRecord on arbitrary lines.

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "hexfile/SRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  std::array<std::uint8_t, 256> bytes{};
  std::uint32_t address = 0x12345678;
  int offset = -1;
  const int count = otp::DecodeSRecord(line, bytes, address, offset);
  // At most 252 data bytes: an S1 record of 256 pairs.
  if (count < 0 || count > 252) std::abort();
  if (count == 0 && (address != 0x12345678 || offset != -1)) std::abort();
  if (count > 0) {
    // An accepted line: the data lies inside the 256 decoded bytes, before the checksum,
    // and the checksum rule holds over the count + 1 bytes.
    if (offset < 3 || offset > 5 || offset + count > 255) std::abort();
    unsigned sum = 0;
    for (unsigned i = 0; i <= bytes[0]; ++i)
      sum += bytes[i];
    if ((sum & 0xFF) != 0xFF) std::abort();
  }
  return 0;
}
