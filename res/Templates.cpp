#include "res/Templates.h"

#include <array>
#include <vector>

#include "chip/ChipTable.h"
#include "res/StringTable.h"

namespace otp::res {

namespace {

constexpr unsigned kDisplayBox = kReadOnly | kCentered | kUpperCase | kBorder;

constexpr std::array<ControlTemplate, 19> kMainControls{{
    {id::kNone, Kind::kLabel, "CPU", 4, 8, 16, 12, kVCenter},
    {id::kNone, Kind::kLabel, "Speed", 4, 27, 21, 12, kVCenter},
    {id::kNone, Kind::kGroupBox, "OTP Memory Area", 154, 0, 77, 54, kCentered},
    {id::kNone, Kind::kLabel, "Start", 164, 10, 20, 12, kVCenter},
    {id::kStart, Kind::kEdit, "", 187, 11, 36, 12, kDisplayBox},
    {id::kNone, Kind::kLabel, "End", 164, 24, 19, 12, kVCenter},
    {id::kEnd, Kind::kEdit, "", 187, 25, 36, 12, kDisplayBox},
    {id::kNone, Kind::kLabel, "Size", 164, 38, 16, 12, kVCenter},
    {id::kSize, Kind::kEdit, "", 187, 39, 36, 12, kDisplayBox},
    {id::kNone, Kind::kLabel, "Hex File", 4, 50, 26, 11, kVCenter},
    {id::kHexFile, Kind::kEdit, "", 4, 62, 227, 12, kBorder | kAutoHScroll | kTabStop},
    {id::kBlankCheck, Kind::kButton, "&Blank Check", 11, 82, 59, 14, kTabStop},
    {id::kProgramVerify, Kind::kButton, "&Program+Verify", 91, 82, 59, 14, kTabStop},
    {id::kReadCompare, Kind::kButton, "&Read+Compare", 166, 82, 59, 14, kTabStop},
    {id::kCpu, Kind::kDropDownList, "", 29, 8, 62, 44, kTabStop},
    {id::kSpeed, Kind::kDropDownList, "", 29, 27, 43, 44, kTabStop},
    {id::kComPort, Kind::kDropDownList, "", 98, 8, 40, 52, kTabStop},
    {id::kDownload, Kind::kButton, "&Download", 87, 32, 41, 19, kTabStop},
    {id::kNone, Kind::kEtchedLine, "", 4, 0, 145, 1, kPlain},
}};

constexpr DialogTemplate kMainDialog{102, kAppTitle, 235, 103, "MS Sans Serif", 10, kMainControls};

constexpr std::array<const char*, 4> kComItems{"COM1", "COM2", "COM3", "COM4"};
constexpr std::array<const char*, 1> kSpeedItems{""};

// The CPU list names the models of the chip table, in its order.
std::vector<const char*> CpuItems() {
  std::vector<const char*> items;
  for (const ChipRow& row : ChipTable())
    items.push_back(row.model.data());  // the table's names are NUL-terminated literals
  return items;
}

constexpr std::array<MenuCommand, 7> kMainMenu{{
    {"&File", "HexFile &Select...", id::kMenuHexFileSelect},
    {"&File", "Check Against &Device...", id::kMenuCheckAgainstDevice},
    {"&File", "&Read Device to File...", id::kMenuReadDeviceToFile},
    {"&File", "Save &Job...", id::kMenuSaveJob},
    {"&File", "&Production Station...", id::kMenuProductionStation},
    {"&File", "&Exit", id::kMenuExit},
    {"&Help", "&About", id::kMenuAbout},
}};

// The status placeholder has four lines: the control is sized for four.
constexpr std::array<ControlTemplate, 5> kProgressControls{{
    {id::kCancel, Kind::kButton, "Cancel", 65, 60, 44, 14, kDefaultButton | kTabStop},
    {id::kProgressBar, Kind::kProgressBar, "", 3, 47, 169, 9, kSmooth | kBorder},
    {id::kStatus, Kind::kLabel, "Status line 1\nStatus line 2\nStatus line 3\nStatus line 4", 52, 8,
     117, 34, kMultiLine},
    {id::kStatusIcon, Kind::kIcon, "", 18, 10, 20, 20, kPlain},
    {id::kContinue, Kind::kButton, "Continue", 128, 60, 44, 14, kHidden | kTabStop},
}};

constexpr DialogTemplate kProgressDialog{103, "", 175, 77, "MS Sans Serif", 10, kProgressControls};

constexpr const char* kAboutTitle = "OTP Writer & Verifier";
constexpr const char* kCopyright = "Copyright (C) 2026 The OTP Writer developers";

constexpr std::array<ControlTemplate, 5> kAboutControlsEnglish{{
    {id::kNone, Kind::kLabel, kAboutTitle, 40, 10, 132, 8, kNoPrefix},
    {id::kNone, Kind::kLabel, kCopyright, 12, 36, 193, 8, kCentered},
    {id::kOk, Kind::kButton, "OK", 180, 8, 32, 14, kDefaultButton | kTabStop},
    {id::kNone, Kind::kIcon, "", 11, 4, 20, 20, kAppIcon},
    {id::kVersion, Kind::kLabel, "", 109, 20, 57, 9, kRightAligned},
}};

constexpr std::array<ControlTemplate, 5> kAboutControlsJapanese{{
    {id::kNone, Kind::kLabel, kAboutTitle, 40, 10, 108, 8, kNoPrefix},
    {id::kNone, Kind::kLabel, kCopyright, 12, 36, 180, 8, kCentered},
    {id::kOk, Kind::kButton, "OK", 156, 8, 32, 14, kDefaultButton | kTabStop},
    {id::kNone, Kind::kIcon, "", 16, 4, 20, 20, kAppIcon},
    {id::kVersion, Kind::kLabel, "", 89, 20, 49, 10, kRightAligned},
}};

constexpr DialogTemplate kAboutEnglish{100, "(C)information",     224, 55, "Times New Roman",
                                       8,   kAboutControlsEnglish};
constexpr DialogTemplate kAboutJapanese{
    100, "(C)情報", 206, 55, "ＭＳ Ｐゴシック", 9, kAboutControlsJapanese};

}  // namespace

const DialogTemplate& MainDialogTemplate() {
  return kMainDialog;
}
std::span<const ListItems> MainDialogLists() {
  static const std::vector<const char*> cpuItems = CpuItems();
  static const std::array<ListItems, 3> lists{{
      {id::kCpu, cpuItems},
      {id::kComPort, kComItems},
      {id::kSpeed, kSpeedItems},
  }};
  return lists;
}
std::span<const MenuCommand> MainMenu() {
  return kMainMenu;
}
const DialogTemplate& ProgressDialogTemplate() {
  return kProgressDialog;
}
const DialogTemplate& AboutDialogTemplate(bool japanese) {
  return japanese ? kAboutJapanese : kAboutEnglish;
}

}  // namespace otp::res
