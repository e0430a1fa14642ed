#include "ops/Setup.h"

#include <cctype>

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

}  // namespace

WriterSetup::WriterSetup(const std::string& programDir)
    : moduleDir_(ModuleDirFrom(programDir)),
      settingsFile_(InModuleDir(moduleDir_, kSettingsFileName)) {}

WriterSetup::WriterSetup(const std::string& monitorDir, std::filesystem::path settingsFile)
    : moduleDir_(ModuleDirFrom(monitorDir)), settingsFile_(std::move(settingsFile)) {}

std::string WriterSetup::Device(const std::string& comName) const {
  return ResolveComDevice(comName, settingsFile_);
}

std::vector<std::string> WriterSetup::Devices(const std::vector<std::string>& comNames) const {
  return ResolveComDevices(comNames, settingsFile_);
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
