#include "ops/Setup.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <system_error>

#include "core/Utf8Path.h"
#include "ops/RecordStore.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

#ifndef OTP_INSTALL_BINDIR
#define OTP_INSTALL_BINDIR "/usr/bin"
#endif

namespace otp {

namespace {

bool SameNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

constexpr const char* kFolderName = "otpwriter";

#ifdef _WIN32
constexpr char kListSeparator = ';';
bool IsAbsolute(const std::string& dir) {
  return dir.size() > 2 && (dir[1] == ':' || (dir[0] == '\\' && dir[1] == '\\'));
}
#else
constexpr char kListSeparator = ':';
bool IsAbsolute(const std::string& dir) {
  return !dir.empty() && dir.front() == '/';
}
#endif

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The writer's own folder inside `base`, ending with a separator.
std::string OwnFolderIn(const std::string& base) {
  return ModuleDirFrom(ModuleDirFrom(base) + kFolderName);
}

bool Writable(const std::string& dir) {
  std::error_code ec;
#ifdef _WIN32
  // Access rights on Windows are lists that only an attempt reads right.
  const std::filesystem::path probe =
      PathFromUtf8(ModuleDirFrom(dir)) / ("otpwriter-probe-" + std::to_string(_getpid()));
  const int fd = _wopen(probe.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return false;
  _close(fd);
  std::filesystem::remove(probe, ec);
  return true;
#else
  const auto canonical = std::filesystem::weakly_canonical(PathFromUtf8(dir), ec);
  for (const char* system :
       {"/bin", "/usr/bin", "/usr/local/bin", "/usr/sbin", OTP_INSTALL_BINDIR}) {
    std::error_code ignored;
    if (!ec && std::filesystem::equivalent(canonical, system, ignored)) return false;
  }
  return ::access(dir.c_str(), W_OK) == 0;
#endif
}

}  // namespace

PlaceFacts PlaceFactsOf(const std::string& programDir) {
  PlaceFacts facts;
  facts.programDir = programDir;
  facts.programDirWritable = Writable(programDir);
#ifdef _WIN32
  facts.home = Variable("USERPROFILE");
  facts.configHome = Variable("APPDATA");
  facts.dataHome = Variable("LOCALAPPDATA");
  facts.dataDirs = Variable("PROGRAMDATA");
#else
  facts.home = Variable("HOME");
  facts.configHome = Variable("XDG_CONFIG_HOME");
  facts.dataHome = Variable("XDG_DATA_HOME");
  facts.dataDirs = Variable("XDG_DATA_DIRS");
#endif
  return facts;
}

FileLocations LocateFiles(const PlaceFacts& facts) {
  FileLocations locations;
  locations.programDir = ModuleDirFrom(facts.programDir);
  locations.settingsFile = InModuleDir(locations.programDir, kSettingsFileName);
  locations.monitorDirs = {locations.programDir};
  locations.dataDir = locations.programDir;
  if (facts.programDirWritable) {
    locations.scratchDir = locations.programDir;
    return locations;
  }
  // Relative folders in these variables are to be ignored, as if they were not set.
  const bool home = IsAbsolute(facts.home);
  if (IsAbsolute(facts.configHome)) {
    locations.settingsFile = InModuleDir(OwnFolderIn(facts.configHome), kSettingsFileName);
  } else if (home) {
    locations.settingsFile =
        InModuleDir(OwnFolderIn(ModuleDirFrom(facts.home) + ".config"), kSettingsFileName);
  }
  if (IsAbsolute(facts.dataHome)) {
    locations.dataDir = OwnFolderIn(facts.dataHome);
  } else if (home) {
    locations.dataDir = OwnFolderIn(ModuleDirFrom(facts.home) + ".local/share");
  }
  if (locations.dataDir != locations.programDir) locations.monitorDirs.push_back(locations.dataDir);
#ifdef _WIN32
  const std::string dataDirs = facts.dataDirs;
#else
  const std::string dataDirs =
      facts.dataDirs.empty() ? "/usr/local/share/:/usr/share/" : facts.dataDirs;
#endif
  std::size_t begin = 0;
  while (begin <= dataDirs.size()) {
    std::size_t end = dataDirs.find(kListSeparator, begin);
    if (end == std::string::npos) end = dataDirs.size();
    const std::string dir = dataDirs.substr(begin, end - begin);
    if (IsAbsolute(dir)) locations.monitorDirs.push_back(OwnFolderIn(dir));
    begin = end + 1;
  }
  return locations;
}

std::filesystem::path JournalFolder(const std::string& location, const std::string& dataDir) {
  if (!IsServerLocation(location)) return PathFromUtf8(location + ".journals");
  // A shared store's journals stayed on this computer, a folder named after the host,
  // port and database: after the user information, before the query. A URL whose host
  // and port are not plainly that (a password typed with a '/' in it) names no folder.
  const std::size_t start = location.find("//") + 2;
  const std::size_t path = std::min(location.find_first_of("/?#", start), location.size());
  const std::string authority = location.substr(start, path - start);
  const std::string hostPort = authority.substr(authority.rfind('@') + 1);
  const std::size_t colon = hostPort.rfind(':');
  const bool bracketed = !hostPort.empty() && hostPort.front() == '[';
  const std::string port = colon == std::string::npos || (bracketed && hostPort.back() == ']')
                               ? std::string()
                               : hostPort.substr(colon + 1);
  if (hostPort.empty() || !std::all_of(port.begin(), port.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
      })) {
    return {};
  }
  const std::size_t end = std::min(location.find_first_of("?#", path), location.size());
  std::string name;
  for (const char c : hostPort + location.substr(path, end - path))
    name += std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' ? c : '_';
  return PathFromUtf8(dataDir) / "journals" / name;
}

std::string FolderHolding(const std::vector<std::string>& folders, const std::string& fileName) {
  for (const std::string& folder : folders) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(InModuleDir(folder, fileName), ec)) return folder;
  }
  return folders.empty() ? std::string() : folders.front();
}

WriterSetup::WriterSetup(FileLocations locations) : locations_(std::move(locations)) {}

bool WriterSetup::Save(const RecentSettings& settings, bool* unreadable) const {
  std::error_code ec;
  const auto folder = locations_.settingsFile.parent_path();
  if (!folder.empty() && !std::filesystem::exists(folder, ec))
    std::filesystem::create_directories(folder, ec);
  return WriteRecentSettings(locations_.settingsFile, settings, unreadable);
}

std::string WriterSetup::Device(const std::string& comName) const {
  return ResolveComDevice(comName, locations_.settingsFile);
}

std::vector<std::string> WriterSetup::Devices(const std::vector<std::string>& comNames) const {
  return ResolveComDevices(comNames, locations_.settingsFile);
}

std::string ComName(int com) {
  return "COM" + std::to_string(com);
}

const ChipRow* ModelAt(int cpu) {
  const auto table = ChipTable();
  if (cpu < 0 || static_cast<std::size_t>(cpu) >= table.size()) return nullptr;
  return &table[static_cast<std::size_t>(cpu)];
}

const ChipRow* ModelNamed(std::string_view name) {
  for (const ChipRow& row : ChipTable()) {
    if (SameNoCase(row.model, name)) return &row;
  }
  return nullptr;
}

std::optional<int> RateNamed(const ChipRow& model, std::string_view label) {
  for (std::size_t i = 0; i < model.speeds.size(); ++i) {
    if (SameNoCase(model.speeds[i], label)) return static_cast<int>(i);
  }
  return std::nullopt;
}

}  // namespace otp
