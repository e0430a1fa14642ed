#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace otp {

/// SHA-256 (FIPS 180-4) of `data`, as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::string_view data);

}  // namespace otp
