// Measures how long building the image takes for large S-record files, and how much
// memory it needs: a file that fills the whole OTP area with S1 records of 32 data bytes,
// a 20 MB file of valid records (most of them overwriting each other) and skipped lines,
// and a file with a single line of 200 MB.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "hexfile/FlashBuffer.h"

namespace {

std::string S1(std::uint32_t address, int count, std::uint8_t seed) {
  unsigned sum = count + 3 + (address >> 8) + (address & 0xFF);
  char line[160];
  int n = std::snprintf(line, sizeof(line), "S1%02X%04X", count + 3, address);
  for (int i = 0; i < count; ++i) {
    const unsigned value = (seed + i * 11) & 0xFF;
    sum += value;
    n += std::snprintf(line + n, sizeof(line) - n, "%02X", value);
  }
  std::snprintf(line + n, sizeof(line) - n, "%02X\n", ~sum & 0xFF);
  return line;
}

// A line of /proc/self/status, in KB.
long StatusKb(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
  }
  return -1;
}

// Starts measuring the peak resident memory afresh.
void ResetPeak() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

void Measure(const char* what, const std::filesystem::path& file) {
  otp::FlashImage flash{};
  const long before = StatusKb("VmRSS:");
  ResetPeak();
  const auto start = std::chrono::steady_clock::now();
  const otp::ImageResult result = otp::LoadImageFile(file.string(), 0xC000, 0xFFFF, flash);
  const bool ok = result.error == otp::ImageError::kNone;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double megabytes = std::filesystem::file_size(file) / 1e6;
  std::printf("%-44s %9.3f MB %9.1f ms %8.1f MB/s  peak memory %+ld KB  %s\n", what, megabytes,
              seconds * 1000, megabytes / seconds, StatusKb("VmHWM:") - before,
              ok ? "ok" : otp::ImageErrorText(result).c_str());
}

}  // namespace

int main() {
  const auto dir = std::filesystem::temp_directory_path() / "otp-bench-image";
  std::filesystem::create_directories(dir);
  {
    std::ofstream out(dir / "full.mhx");
    out << "S00600004844521B\n";
    for (std::uint32_t a = 0xC000; a < 0x10000; a += 32)
      out << S1(a, 32, a >> 5);
    out << "S9030000FC\n";
  }
  {
    std::ofstream out(dir / "big.mhx");
    std::size_t size = 0;
    for (std::uint32_t i = 0; size < 20'000'000; ++i) {
      const std::string line = i % 4 == 3 ? std::string("S0") + std::string(60, 'x') + "\n"
                                          : S1(0xC000 + (i * 32) % 0x4000, 32, i & 0xFF);
      out << line;
      size += line.size();
    }
  }
  {
    std::ofstream out(dir / "longline.mhx");
    out << "S0";
    const std::string chunk(1 << 20, 'z');
    for (int i = 0; i < 200; ++i)
      out << chunk;
    out << "\n" << S1(0xC000, 1, 1);
  }
  Measure("whole OTP area, S1 records of 32 bytes", dir / "full.mhx");
  Measure("20 MB: records overwriting, skipped lines", dir / "big.mhx");
  Measure("one skipped line of 200 MB, then a record", dir / "longline.mhx");
  std::filesystem::remove_all(dir);
  return 0;
}
