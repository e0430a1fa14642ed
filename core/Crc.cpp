#include "core/Crc.h"

#include <array>

namespace otp {

namespace {

// The byte table of a reflected CRC-32 with `polynomial` (reversed form).
constexpr std::array<std::uint32_t, 256> MakeTable(std::uint32_t polynomial) {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k)
      c = (c & 1) ? polynomial ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr auto kCrc32 = MakeTable(0xEDB88320u);
constexpr auto kCrc32c = MakeTable(0x82F63B78u);

std::uint32_t Reflected(const std::array<std::uint32_t, 256>& table, const unsigned char* data,
                        std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i)
    crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

}  // namespace

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) {
  return Reflected(kCrc32, data, size);
}

std::uint32_t Crc32c(std::string_view text) {
  return Reflected(kCrc32c, reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

}  // namespace otp
