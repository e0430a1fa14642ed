#pragma once

#include <string>

namespace otp {

enum class Language { kEnglish, kJapanese };

/// Text `id` of the message catalogue in `language`; empty when the catalogue lacks it.
std::string LoadString(unsigned id, Language language);

}  // namespace otp
