#include <gtest/gtest.h>

#include "chip/ChipTable.h"

namespace otp {
namespace {

TEST(ChipTable, RowsOfBothModels) {
  struct Case {
    const char* cpuText;
    const char* monitor;
    std::array<std::int32_t, 3> baud;
  };
  const Case cases[] = {{"KT47C630A", "m_otp.630", {2400, 4800, 9600}},
                        {"KT47C150", "m_otp.150", {4800, 9600, 19200}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cpuText);
    const ChipRow* row = FindChip(c.cpuText);
    ASSERT_NE(row, nullptr);
    ChipSpec spec;
    spec.Assign(*row);
    EXPECT_EQ(spec.m_strMonitorFile, c.monitor);
    EXPECT_EQ(spec.m_wDownloadAddr, 0x00A0);
    EXPECT_EQ(spec.m_nStartAddr, 0xC000);
    EXPECT_EQ(spec.m_nEndAddr, 0xFFFF);
    EXPECT_EQ(spec.m_nSize, 0x4000);
    EXPECT_EQ(spec.m_nBaud, c.baud);
    EXPECT_EQ(row->speeds[0], "2MHz");
    EXPECT_EQ(row->speeds[1], "4MHz");
    EXPECT_EQ(row->speeds[2], "8MHz");
  }
}

TEST(ChipTable, LookupIsACaseSensitiveSubstringSearch) {
  EXPECT_EQ(FindChip("xxKT47C630Ayy"), &ChipTable()[0]);
  EXPECT_EQ(FindChip("KT47C150 rev B"), &ChipTable()[1]);
  EXPECT_EQ(FindChip("kt47c630a"), nullptr);
  EXPECT_EQ(FindChip(""), nullptr);
  // The first model is tested first.
  EXPECT_EQ(FindChip("KT47C150 KT47C630A"), &ChipTable()[0]);
}

TEST(ChipTable, SpeedIndexOutsideTheListHasNoBitRate) {
  ChipSpec spec;
  spec.Assign(ChipTable()[1]);
  EXPECT_EQ(spec.BaudFor(0), 4800);
  EXPECT_EQ(spec.BaudFor(2), 19200);
  EXPECT_EQ(spec.BaudFor(3), std::nullopt);
  EXPECT_EQ(spec.BaudFor(-1), std::nullopt);
  EXPECT_EQ(spec.BaudFor(1 << 30), std::nullopt);
}

TEST(ChipTable, NoModelSelectedKeepsTheAreaButCannotDownload) {
  const ChipSpec spec = ChipSpec::Unselected();
  EXPECT_EQ(spec.m_nStartAddr, 0xC000);
  EXPECT_EQ(spec.m_nEndAddr, 0xFFFF);
  EXPECT_EQ(spec.m_nSize, 0x4000);
  EXPECT_EQ(spec.m_strMonitorFile, "");
  for (int rate = 0; rate < 3; ++rate)
    EXPECT_EQ(spec.BaudFor(rate), std::nullopt);
}

}  // namespace
}  // namespace otp
