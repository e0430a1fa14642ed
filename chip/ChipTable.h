#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace otp {

/// One row of the chip table: the constants of one microcontroller model.
struct ChipRow {
  std::string_view model;                  // the CPU list's text
  std::string_view monitorFile;            // monitor program beside the program
  std::uint16_t downloadAddr;              // where the monitor is loaded
  std::int32_t startAddr;                  // first address of the OTP area
  std::int32_t endAddr;                    // last address of the OTP area, inclusive
  std::array<std::string_view, 3> speeds;  // speed list labels
  std::array<std::int32_t, 3> baud;        // bit rate per speed entry
};

/// The supported models, in the order of the CPU list.
std::span<const ChipRow> ChipTable();

/// The row whose model name occurs in `cpuText` (case-sensitive substring search, the
/// first model tested first), or null when none does.
const ChipRow* FindChip(std::string_view cpuText);

/// The selected model's row as the writer holds it.
struct ChipSpec {
  std::string m_strMonitorFile;
  std::uint16_t m_wDownloadAddr = 0;
  std::int32_t m_nStartAddr = 0;
  std::int32_t m_nEndAddr = 0;
  std::int32_t m_nSize = 0;
  std::array<std::int32_t, 3> m_nBaud{};

  /// The values before any model was looked up: a valid OTP area (so that every index
  /// into the 64 KiB image stays inside it), but no monitor file and no bit rate, so a
  /// Download cannot start without a model.
  static ChipSpec Unselected();

  /// Copies the row's values; m_nSize follows from the area.
  void Assign(const ChipRow& row);

  /// The bit rate of speed entry `rate`, or nothing when the index names no entry or the
  /// entry has no rate.
  std::optional<std::int32_t> BaudFor(int rate) const;
};

}  // namespace otp
