#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chip/ChipTable.h"
#include "settings/Settings.h"

namespace otp {

/// What decides where the writer's files lie: the program's folder, whether the user may
/// write there, and the user's folders for settings and data. On Windows `configHome`,
/// `dataHome` and `dataDirs` hold %APPDATA%, %LOCALAPPDATA% and %PROGRAMDATA%; elsewhere
/// $XDG_CONFIG_HOME, $XDG_DATA_HOME and $XDG_DATA_DIRS, with $HOME for their defaults.
struct PlaceFacts {
  std::string programDir;
  bool programDirWritable = true;
  std::string home, configHome, dataHome, dataDirs;
};

/// The facts of this process: its environment, and whether `programDir` is writable. A
/// system folder of programs (/usr/bin, the folder the build installs to) never counts as
/// writable, not even for root: settings do not belong there.
PlaceFacts PlaceFactsOf(const std::string& programDir);

/// Where the writer's files lie.
struct FileLocations {
  /// The program's folder, ending with a separator.
  std::string programDir;
  std::filesystem::path settingsFile;
  /// The folders searched for a monitor file, in order, each ending with a separator.
  std::vector<std::string> monitorDirs;
  /// The folder that the scratch files are deleted from at the end; empty for none.
  std::string scratchDir;
  /// Where the production store and its journals lie by default, ending with a separator:
  /// the program's folder for a copy that keeps its files beside itself, else the user's
  /// data folder.
  std::string dataDir;
};

/// A portable copy (its folder writable) keeps everything in its own folder. An installed
/// program keeps its settings in the user's configuration folder (created on the first
/// save), looks for monitor files beside itself, then in the user's data folder, then in
/// each system data folder (each + "otpwriter"), and deletes no scratch files.
FileLocations LocateFiles(const PlaceFacts& facts);

/// The folder of the journals kept beside the production store at `location` (an SQLite
/// file, or a PostgreSQL URL whose journals lie in `dataDir`).
std::filesystem::path JournalFolder(const std::string& location, const std::string& dataDir);

/// The first of `folders` (each ending with a separator) that holds `fileName`; the first
/// folder when none does, so that opening the file there fails as it would have.
std::string FolderHolding(const std::vector<std::string>& folders, const std::string& fileName);

/// Where the writer keeps its files, and how the operator's choices (model, speed, COM
/// name) become a chip table row, a bit rate and a device. The window and the command
/// line both take their set-up from here, so they read the same settings the same way.
class WriterSetup {
 public:
  explicit WriterSetup(FileLocations locations);

  /// The program's folder, ending with a separator.
  const std::string& moduleDir() const { return locations_.programDir; }
  const std::filesystem::path& settingsFile() const { return locations_.settingsFile; }
  const std::vector<std::string>& monitorDirs() const { return locations_.monitorDirs; }
  const std::string& scratchDir() const { return locations_.scratchDir; }
  const std::string& dataDir() const { return locations_.dataDir; }
  /// The production store used when none is named: one fixed place per user.
  std::string DefaultStore() const { return locations_.dataDir + "production.db"; }

  RecentSettings Load() const { return ReadRecentSettings(locations_.settingsFile); }
  /// Writes the settings, making their folder first when it is missing. A file that is
  /// there but cannot be read is left as it is: false, with `unreadable` set.
  bool Save(const RecentSettings& settings, bool* unreadable = nullptr) const;
  /// The device that a COM list name stands for ("" when none).
  std::string Device(const std::string& comName) const;
  std::vector<std::string> Devices(const std::vector<std::string>& comNames) const;

 private:
  FileLocations locations_;
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
