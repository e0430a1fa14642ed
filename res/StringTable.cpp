#include "res/StringTable.h"

#include <array>

namespace otp::res {

namespace {

// Texts are exact, blanks included: the two languages differ at 305 (trailing blank in
// English only) and 279 (trailing line break in English only).
constexpr std::array<StringEntry, 26> kTable{{
    {101, "version(flash) (&A)...", "ﾊﾞｰｼﾞｮﾝ情報(flash) (&A)..."},
    {104, kAppTitle, kAppTitle},
    {201, " No.001 Download error", " No.001 ダウンロードエラー"},
    {203, " No.003 Timeout error", " No.003 タイムアウトエラー"},
    {220, " No.006 Unable to open COM port.", " No.006 COMポートがオープンできません"},
    {221, " No.007 Unable to open download file.",
     " No.007 ダウンロードファイルがオープンできません"},
    {222, " No.008 Unable to gain file size.", " No.008 ファイルサイズの取得ができません"},
    {223, " No.009 Unable to gain COM port info.", " No.009 COMポートの設定情報を取得できません"},
    {224, " No.010 Unable to change COM port setting.",
     " No.010 COMポートの設定情報を変更できません"},
    {232, " No.011 Communication error", " No.011 通信異常エラー"},
    {236, " No.018 Device error", " No.018 デバイス異常エラー"},
    {238, " No.020 Sum error", " No.020 SUM値エラー"},
    {239, " No.021 Coordination error", " No.021 整合チェックエラー"},
    {260, " No.015 COM port write error", " No.015 COMポート書き込みエラー"},
    {262, " No.016 COM port read error", " No.016 COMポート読み込みエラー"},
    {264, " No.017 File access error", " No.017 ファイルアクセスエラー"},
    {279, " Please try again download after\nlook it over again more carefully\n",
     " 各設定を確認しなおしてから\nもう一度ダウンロードを実行してください"},
    {280, "Please redo from download operation", "ダウンロード操作から実行し直してください"},
    {304, " Blank Check", " Blank Check"},
    {305, " Read+Compare ", " Read+Compare"},
    {306, " Program+Verify", " Program+Verify"},
    {307, " Download ", " Download "},
    {501, " Blank Checking", " Blank Checking"},
    {513, " Programming+Verifing", " Programming+Verifing"},
    {514, " Reading+Compareing", " Reading+Compareing"},
    {516, " Downloading", " Downloading"},
}};

constexpr std::array<StringEntry, 7> kAdded{{
    {601, " Plan ", " 書込計画 "},
    {602, " Write %d  Done %d\n Completable %d\n Skip %d",
     " 書込 %d  書込済 %d\n 補完 %d\n 対象外 %d"},
    {603,
     "  Conflict %d\n Write %d  Done %d  Compl. %d\n Address : 0x%04X\n"
     " OTPmemory : 0x%02X  HexFile : 0x%02X",
     "  競合 %d\n 書込 %d  書込済 %d  補完 %d\n アドレス : 0x%04X\n"
     " OTPメモリ 0x%02X  HexFile 0x%02X"},
    {604, " Checking", " 照合中"},
    {605, " Read to file ", " ファイルへ読み出し "},
    {606, " Reading", " 読み出し中"},
    {607, "\n Not read %d (outside the image)", "\n 未読み出し %d（イメージ外）"},
}};

}  // namespace

std::span<const StringEntry> StringTable() {
  return kTable;
}

std::span<const StringEntry> AddedTexts() {
  return kAdded;
}

}  // namespace otp::res
