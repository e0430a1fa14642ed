#pragma once

#include <span>

namespace otp::res {

/// Control and command identifiers of the dialog templates and the menu.
namespace id {
inline constexpr int kNone = -1;  // a control without an identifier
// Main window (template 102).
inline constexpr int kStart = 1005;
inline constexpr int kEnd = 1006;
inline constexpr int kSize = 1007;
inline constexpr int kHexFile = 1008;
inline constexpr int kProgramVerify = 1011;
inline constexpr int kReadCompare = 1012;
inline constexpr int kBlankCheck = 1014;
inline constexpr int kSpeed = 1020;
inline constexpr int kDownload = 1021;
inline constexpr int kComPort = 1022;
inline constexpr int kCpu = 1023;
// Progress dialog (template 103).
inline constexpr int kCancel = 2;
inline constexpr int kProgressBar = 1003;
inline constexpr int kStatus = 1005;
inline constexpr int kStatusIcon = 1027;
inline constexpr int kContinue = 1029;
// About box (template 100).
inline constexpr int kOk = 1;
inline constexpr int kVersion = 1028;
// Menu 135.
inline constexpr int kMenuHexFileSelect = 32771;
inline constexpr int kMenuExit = 32772;
inline constexpr int kMenuAbout = 32773;
// Commands added to the menu; usable in the ready set only.
inline constexpr int kMenuCheckAgainstDevice = 32774;
inline constexpr int kMenuReadDeviceToFile = 32775;
// Commands added to the menu; usable at any time.
inline constexpr int kMenuProductionStation = 32776;
inline constexpr int kMenuSaveJob = 32777;
}  // namespace id

enum class Kind {
  kLabel,
  kGroupBox,
  kEdit,
  kButton,
  kDropDownList,
  kEtchedLine,
  kProgressBar,
  kIcon
};

/// Style bits of a control.
enum Style : unsigned {
  kPlain = 0,
  kTabStop = 1u << 0,
  kReadOnly = 1u << 1,
  kCentered = 1u << 2,   // text centred horizontally
  kUpperCase = 1u << 3,  // an edit box that shows its text in upper case
  kBorder = 1u << 4,
  kAutoHScroll = 1u << 5,
  kDefaultButton = 1u << 6,
  kHidden = 1u << 7,  // not visible until shown
  kVCenter = 1u << 8,
  kRightAligned = 1u << 9,
  kSmooth = 1u << 10,
  kMultiLine = 1u << 11,  // static text broken into lines at each "\n"
  kNoPrefix = 1u << 12,   // ampersands shown as they are
  kAppIcon = 1u << 13,    // a static icon that shows the application's icon
};

/// One control: position and size in dialog units.
struct ControlTemplate {
  int id;
  Kind kind;
  const char* text;
  int x, y, cx, cy;
  unsigned style;
};

struct DialogTemplate {
  int id;
  const char* caption;
  int cx, cy;  // client size in dialog units
  const char* fontFamily;
  int pointSize;
  std::span<const ControlTemplate> controls;  // template order = tab order
};

/// Initial entries of a list control.
struct ListItems {
  int controlId;
  std::span<const char* const> items;
};

struct MenuCommand {
  const char* menu;
  const char* item;
  int commandId;
};

const DialogTemplate& MainDialogTemplate();                // 102
std::span<const ListItems> MainDialogLists();              // initial data of 102
std::span<const MenuCommand> MainMenu();                   // 135
const DialogTemplate& ProgressDialogTemplate();            // 103
const DialogTemplate& AboutDialogTemplate(bool japanese);  // 100

}  // namespace otp::res
