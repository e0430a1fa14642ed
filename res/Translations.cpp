#include "res/Translations.h"

#include <array>

namespace otp::res {

namespace {

// Sorted by nothing in particular: Tr sorts a copy once. Patterns keep %1, %2 ... in the
// order their values come, whatever the order of words in the language.
constexpr Translation kTable[] = {
    {"The settings file %1 could not be read: it is left as it is, and the choices made "
     "here are not saved.",
     "設定ファイル %1 を読み込めません: ファイルはそのまま残し、ここでの選択は保存しません。"},
};

}  // namespace

std::span<const Translation> Translations() {
  return kTable;
}

}  // namespace otp::res
