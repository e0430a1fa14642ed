#include <gtest/gtest.h>

#include <set>

#include "core/Catalogue.h"
#include "core/Texts.h"
#include "res/StringTable.h"

namespace otp {
namespace {

struct Expected {
  unsigned id;
  const char* english;
  const char* japanese;
};

// The catalogue as the operator must see it, blanks and line breaks included.
const Expected kCatalogue[] = {
    {101, "version(flash) (&A)...", "ﾊﾞｰｼﾞｮﾝ情報(flash) (&A)..."},
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
};

TEST(Catalogue, EveryTextInBothLanguages) {
  for (const Expected& entry : kCatalogue) {
    SCOPED_TRACE(entry.id);
    EXPECT_EQ(LoadString(entry.id, Language::kEnglish), entry.english);
    EXPECT_EQ(LoadString(entry.id, Language::kJapanese), entry.japanese);
  }
}

TEST(Catalogue, HoldsNothingElseButTheTitle) {
  std::set<unsigned> expected;
  for (const Expected& entry : kCatalogue)
    expected.insert(entry.id);
  expected.insert(104);
  std::set<unsigned> actual;
  for (const res::StringEntry& entry : res::StringTable())
    actual.insert(entry.id);
  EXPECT_EQ(actual, expected);
  // The title is the same in both languages and not empty.
  EXPECT_FALSE(LoadString(104, Language::kEnglish).empty());
  EXPECT_EQ(LoadString(104, Language::kEnglish), LoadString(104, Language::kJapanese));
}

TEST(Catalogue, UnknownIdIsEmpty) {
  EXPECT_EQ(LoadString(0, Language::kEnglish), "");
  EXPECT_EQ(LoadString(999, Language::kJapanese), "");
}

// Columns as a terminal shows them: Japanese takes two a character, a check mark or an
// accented letter one, so that tables and banners line up in both languages.
TEST(Texts, ColumnsOnATerminal) {
  struct Case {
    const char* text;
    std::size_t columns;
  };
  const Case cases[] = {
      {"", 0},          {"PASS", 4},         {"\u5408\u683c", 4}, {"\u2714 ok", 4},
      {"caf\u00e9", 4}, {"\uff21\uff22", 4}, {"\xe3", 1},         {"\U00020000", 2},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Columns(c.text), c.columns) << c.text;
  EXPECT_EQ(PadTo("\u30dd\u30fc\u30c8", 8), "\u30dd\u30fc\u30c8  ");
  EXPECT_EQ(PadTo("a long name", 4), "a long name ");
}

}  // namespace
}  // namespace otp
