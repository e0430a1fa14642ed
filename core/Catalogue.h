#pragma once

#include <string>

namespace otp {

enum class Language { kEnglish, kJapanese };

/// Text `id` of the message catalogue in `language`; empty when the catalogue lacks it.
std::string LoadString(unsigned id, Language language);

/// The user interface language of the system: Japanese when the locale's language is
/// Japanese, English otherwise.
Language SystemLanguage();

}  // namespace otp
