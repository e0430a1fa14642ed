#include "chip/ChipTable.h"

namespace otp {

namespace {

constexpr std::array<ChipRow, 2> kChips{{
    {"KT47C630A",
     "m_otp.630",
     0x00A0,
     0xC000,
     0xFFFF,
     {"2MHz", "4MHz", "8MHz"},
     {2400, 4800, 9600}},
    {"KT47C150",
     "m_otp.150",
     0x00A0,
     0xC000,
     0xFFFF,
     {"2MHz", "4MHz", "8MHz"},
     {4800, 9600, 19200}},
}};

// Every row keeps the OTP area inside the 16-bit address space and whole 256-byte blocks.
constexpr bool RowsAreSound() {
  for (const ChipRow& row : kChips) {
    if (row.startAddr < 0 || row.endAddr > 0xFFFF || row.startAddr > row.endAddr) return false;
    if (row.startAddr % 256 != 0 || (row.endAddr - row.startAddr + 1) % 256 != 0) return false;
  }
  return true;
}
static_assert(RowsAreSound());

}  // namespace

std::span<const ChipRow> ChipTable() {
  return kChips;
}

const ChipRow* FindChip(std::string_view cpuText) {
  for (const ChipRow& row : kChips) {
    if (cpuText.find(row.model) != std::string_view::npos) return &row;
  }
  return nullptr;
}

ChipSpec ChipSpec::Unselected() {
  ChipSpec spec;
  spec.m_wDownloadAddr = 0x00A0;
  spec.m_nStartAddr = 0xC000;
  spec.m_nEndAddr = 0xFFFF;
  spec.m_nSize = spec.m_nEndAddr - spec.m_nStartAddr + 1;
  return spec;
}

void ChipSpec::Assign(const ChipRow& row) {
  m_strMonitorFile = std::string(row.monitorFile);
  m_wDownloadAddr = row.downloadAddr;
  m_nStartAddr = row.startAddr;
  m_nEndAddr = row.endAddr;
  m_nSize = m_nEndAddr - m_nStartAddr + 1;
  m_nBaud = row.baud;
}

std::optional<std::int32_t> ChipSpec::BaudFor(int rate) const {
  if (rate < 0 || rate >= static_cast<int>(m_nBaud.size()) || m_nBaud[rate] <= 0) {
    return std::nullopt;
  }
  return m_nBaud[rate];
}

}  // namespace otp
