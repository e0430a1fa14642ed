#include "settings/Settings.h"

#include <string_view>

#include "core/Utf8Path.h"
#include "settings/ProfileFile.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace otp {

namespace {
constexpr std::string_view kRecent = "Recent";
constexpr std::string_view kPorts = "Ports";
}  // namespace

RecentSettings ReadRecentSettings(const std::filesystem::path& file) {
  const ProfileFile profile = ProfileFile::Load(file);
  RecentSettings settings;
  settings.cpu = profile.GetInt(kRecent, "CPU", 0);
  settings.rate = profile.GetInt(kRecent, "RATE", 0);
  settings.com = profile.GetInt(kRecent, "COM", 1);
  settings.hexFile = profile.GetString(kRecent, "Write File", "");
  return settings;
}

bool WriteRecentSettings(const std::filesystem::path& file, const RecentSettings& settings,
                         bool* unreadable) {
  bool failed = false;
  ProfileFile profile = ProfileFile::Load(file, &failed);
  if (unreadable) *unreadable = failed;
  if (failed) return false;
  profile.Set(kRecent, "CPU", std::to_string(settings.cpu));
  profile.Set(kRecent, "RATE", std::to_string(settings.rate));
  profile.Set(kRecent, "COM", std::to_string(settings.com));
  profile.Set(kRecent, "Write File", settings.hexFile);
  return profile.Save(file);
}

namespace {
constexpr std::string_view kStation = "Station";
}  // namespace

StationSettings ReadStationSettings(const std::filesystem::path& file) {
  const ProfileFile profile = ProfileFile::Load(file);
  StationSettings settings;
  const std::string ports = profile.GetString(kStation, "Ports", "");
  std::size_t start = 0;
  while (start < ports.size()) {
    auto comma = ports.find(',', start);
    if (comma == std::string::npos) comma = ports.size();
    std::string port = ports.substr(start, comma - start);
    while (!port.empty() && port.front() == ' ')
      port.erase(port.begin());
    while (!port.empty() && port.back() == ' ')
      port.pop_back();
    if (!port.empty()) settings.ports.push_back(port);
    start = comma + 1;
  }
  settings.store = profile.GetString(kStation, "Store", "");
  return settings;
}

bool WriteStationSettings(const std::filesystem::path& file, const StationSettings& settings,
                          bool* unreadable) {
  bool failed = false;
  ProfileFile profile = ProfileFile::Load(file, &failed);
  if (unreadable) *unreadable = failed;
  if (failed) return false;
  std::string ports;
  for (const std::string& port : settings.ports)
    ports += (ports.empty() ? "" : ",") + port;
  profile.Set(kStation, "Ports", ports);
  if (!settings.store.empty()) profile.Set(kStation, "Store", settings.store);
  return profile.Save(file);
}

namespace {

std::string Resolve(const std::string& comName, const ProfileFile& settings) {
#ifdef _WIN32
  (void)settings;
  return comName;
#else
  if (comName.empty()) return {};
  const std::string mapped = settings.GetString(kPorts, comName, "");
  if (!mapped.empty()) return mapped;
  // "COM<n>" with n from 1 on.
  if (comName.size() > 3 && comName.compare(0, 3, "COM") == 0) {
    int n = 0;
    for (std::size_t i = 3; i < comName.size(); ++i) {
      const char c = comName[i];
      if (c < '0' || c > '9' || n > 100000) return {};
      n = n * 10 + (c - '0');
    }
    if (n >= 1) return "/dev/ttyUSB" + std::to_string(n - 1);
  }
  return {};
#endif
}

}  // namespace

std::string ResolveComDevice(const std::string& comName, const std::filesystem::path& file) {
  return ResolveComDevices({comName}, file).front();
}

std::vector<std::string> ResolveComDevices(const std::vector<std::string>& comNames,
                                           const std::filesystem::path& file) {
#ifdef _WIN32
  const ProfileFile settings;  // names stand for themselves: nothing to read
  (void)file;
#else
  const ProfileFile settings = ProfileFile::Load(file);
#endif
  std::vector<std::string> devices;
  for (const std::string& name : comNames)
    devices.push_back(Resolve(name, settings));
  return devices;
}

std::vector<std::pair<std::string, std::string>> ReadPortsSection(
    const std::filesystem::path& file) {
  return ProfileFile::Load(file).Entries(kPorts);
}

std::string ModuleDirFrom(const std::string& programDir) {
  std::string dir = programDir;
#ifdef _WIN32
  // The short form keeps later paths free of blanks and long names; when it cannot be
  // had, the long form serves as well.
  std::wstring wide = PathFromUtf8(dir).wstring();
  const DWORD needed = GetShortPathNameW(wide.c_str(), nullptr, 0);
  if (needed > 0) {
    std::wstring shortForm(needed, L'\0');
    const DWORD got = GetShortPathNameW(wide.c_str(), shortForm.data(), needed);
    if (got > 0 && got < needed) {
      shortForm.resize(got);
      dir = Utf8FromPath(std::filesystem::path(shortForm));
    }
  }
  if (dir.empty() || (dir.back() != '\\' && dir.back() != '/')) dir += '\\';
#else
  if (dir.empty() || dir.back() != '/') dir += '/';
#endif
  return dir;
}

std::filesystem::path InModuleDir(const std::string& moduleDir, const std::string& fileName) {
  return PathFromUtf8(moduleDir + fileName);
}

}  // namespace otp
