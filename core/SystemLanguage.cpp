#include <QLocale>

#include "core/Catalogue.h"

namespace otp {

Language SystemLanguage() {
  return QLocale::system().language() == QLocale::Japanese ? Language::kJapanese
                                                           : Language::kEnglish;
}

}  // namespace otp
