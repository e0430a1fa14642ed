#pragma once

#include <filesystem>

namespace otp::test {

/// The number of files this process holds open.
inline int OpenFileCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

}  // namespace otp::test
