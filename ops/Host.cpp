#include "ops/Host.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace otp {

namespace {

std::string HostName() {
#ifdef _WIN32
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof(name);
  return GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
#else
  char name[256] = {};
  return ::gethostname(name, sizeof(name) - 1) == 0 ? std::string(name) : std::string();
#endif
}

#ifdef _WIN32
// The boot's time to the minute: the same all the boot long.
std::string BootOf() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER ticks{};
  ticks.LowPart = now.dwLowDateTime;
  ticks.HighPart = now.dwHighDateTime;
  const unsigned long long bootMinutes = (ticks.QuadPart / 10000ull - GetTickCount64()) / 60000ull;
  return std::to_string(bootMinutes);
}

std::string StartOf(long long pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (!process) return {};
  FILETIME created{}, exited{}, kernel{}, user{};
  std::string start;
  DWORD code = 0;
  if (GetExitCodeProcess(process, &code) && code == STILL_ACTIVE &&
      GetProcessTimes(process, &created, &exited, &kernel, &user)) {
    start = std::to_string((static_cast<unsigned long long>(created.dwHighDateTime) << 32) |
                           created.dwLowDateTime);
  }
  CloseHandle(process);
  return start;
}

long long OwnId() {
  return static_cast<long long>(GetCurrentProcessId());
}

// Boot times read a moment apart may differ by a minute.
bool SameBoot(const std::string& a, const std::string& b) {
  const long long x = std::atoll(a.c_str());
  const long long y = std::atoll(b.c_str());
  return x - y <= 2 && y - x <= 2;
}
#else
std::string BootOf() {
  std::ifstream in("/proc/sys/kernel/random/boot_id");
  std::string boot;
  std::getline(in, boot);
  return boot;
}

// When the process `pid` began, in clock ticks since the boot (the 22nd field of its
// stat); empty when there is no such process.
std::string StartOf(long long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return {};
  // The command's name, in parentheses, may hold blanks: fields are counted after it.
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return {};
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) return field;
  }
  return {};
}

long long OwnId() {
  return static_cast<long long>(::getpid());
}

bool SameBoot(const std::string& a, const std::string& b) {
  return a == b;
}
#endif

}  // namespace

LeaseHolder ThisProcess(const std::string& owner, const std::string& station) {
  LeaseHolder holder;
  holder.owner = owner;
  holder.station = station;
  holder.host = HostName();
  holder.boot = BootOf();
  holder.pid = OwnId();
  holder.processStart = StartOf(holder.pid);
  return holder;
}

bool EndedHere(const LeaseHolder& holder) {
  if (holder.host.empty() || holder.host != HostName()) return false;
  if (!SameBoot(holder.boot, BootOf())) return true;  // this computer has booted since
  const std::string start = StartOf(holder.pid);
  return start.empty() || start != holder.processStart;
}

}  // namespace otp
