#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chip/ChipTable.h"
#include "settings/Settings.h"

namespace otp {

/// Where the writer keeps its files, and how the operator's choices (model, speed, COM
/// name) become a chip table row, a bit rate and a device. The window and the command
/// line both take their set-up from here, so they read the same settings the same way.
class WriterSetup {
 public:
  /// The program's own layout: the settings file and the monitor files in its folder.
  explicit WriterSetup(const std::string& programDir);
  /// Another monitor folder (ending with a separator or not) and settings file.
  WriterSetup(const std::string& monitorDir, std::filesystem::path settingsFile);

  /// The monitor files' folder, ending with a separator.
  const std::string& moduleDir() const { return moduleDir_; }
  const std::filesystem::path& settingsFile() const { return settingsFile_; }

  RecentSettings Load() const { return ReadRecentSettings(settingsFile_); }
  bool Save(const RecentSettings& settings) const {
    return WriteRecentSettings(settingsFile_, settings);
  }
  /// The device that a COM list name stands for ("" when none).
  std::string Device(const std::string& comName) const;
  std::vector<std::string> Devices(const std::vector<std::string>& comNames) const;

 private:
  std::string moduleDir_;
  std::filesystem::path settingsFile_;
};

/// The COM list's name for port number `com` ("COM3" for 3).
std::string ComName(int com);

/// The row at CPU list position `cpu`; null when no entry has that position.
const ChipRow* ModelAt(int cpu);
/// The row whose model name is `name`, ignoring case; null when none is.
const ChipRow* ModelNamed(std::string_view name);
/// The speed list position of `label` ("8MHz") for `model`, ignoring case.
std::optional<int> RateNamed(const ChipRow& model, std::string_view label);

}  // namespace otp
