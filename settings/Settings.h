#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace otp {

/// The operator's last choices, as the settings file holds them (section "Recent").
struct RecentSettings {
  int cpu = 0;          // CPU list position
  int rate = 0;         // speed list position
  int com = 1;          // COM port number: COM list position + 1
  std::string hexFile;  // the S-record file
};

/// Name of the settings file in the program's folder.
inline constexpr const char* kSettingsFileName = "DATAFILE.TXT";

/// Reads the four keys; each missing key takes its default, and a missing or unreadable
/// file gives all defaults. Values are not checked against the lists.
RecentSettings ReadRecentSettings(const std::filesystem::path& file);

/// Writes the four keys in one atomic replacement of the file, keeping every other line.
/// A file that is there but cannot be read is never replaced (its other sections would be
/// lost): false, with `unreadable` set when given.
bool WriteRecentSettings(const std::filesystem::path& file, const RecentSettings& settings,
                         bool* unreadable = nullptr);

/// What the station window keeps (section "Station"): the ports it used last, and the
/// production store it records into ("" for the user's own).
struct StationSettings {
  std::vector<std::string> ports;
  std::string store;
};

/// Reads the section "Station"; a missing file or section gives no ports and no store.
StationSettings ReadStationSettings(const std::filesystem::path& file);
/// Writes the section "Station", keeping every other line; a file that is there but cannot
/// be read is never replaced (false, `unreadable` set).
bool WriteStationSettings(const std::filesystem::path& file, const StationSettings& settings,
                          bool* unreadable = nullptr);

/// The device that a COM list name stands for. On Windows the name itself. Elsewhere the
/// entry of that name in the section "Ports" of the settings file, else "/dev/ttyUSB<n-1>"
/// for "COM<n>", else nothing (empty).
std::string ResolveComDevice(const std::string& comName, const std::filesystem::path& file);
/// The same for several names, reading the settings file once.
std::vector<std::string> ResolveComDevices(const std::vector<std::string>& comNames,
                                           const std::filesystem::path& file);

/// The entries of the section "Ports": COM names and the devices they stand for.
std::vector<std::pair<std::string, std::string>> ReadPortsSection(
    const std::filesystem::path& file);

/// The program's folder as the program keeps it: ending with a path separator (and on
/// Windows in its short form).
std::string ModuleDirFrom(const std::string& programDir);

/// Joins the program's folder (ending with a separator) and a file name into a path.
std::filesystem::path InModuleDir(const std::string& moduleDir, const std::string& fileName);

}  // namespace otp
