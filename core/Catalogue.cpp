#include "core/Catalogue.h"

#include "res/StringTable.h"

namespace otp {

std::string LoadString(unsigned id, Language language) {
  for (const auto table : {res::StringTable(), res::AddedTexts()}) {
    for (const res::StringEntry& entry : table) {
      if (entry.id == id) return language == Language::kJapanese ? entry.japanese : entry.english;
    }
  }
  return {};
}

}  // namespace otp
