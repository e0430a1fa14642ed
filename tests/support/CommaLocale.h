#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace otp::test {

/// A locale whose numbers are written with a decimal comma (German), made once with
/// localedef in a folder of its own: the folder to name in LOCPATH and the locale's name
/// for LC_ALL. Empty when this machine cannot make it.
struct CommaLocale {
  std::string folder;
  std::string name = "de_DE.UTF-8";

  static const CommaLocale& Get() {
    static const CommaLocale made = [] {
      CommaLocale locale;
      const auto folder = std::filesystem::temp_directory_path() / "otp-test-locales";
      std::filesystem::create_directories(folder);
      const auto target = folder / locale.name;
      if (!std::filesystem::exists(target)) {
        // Made aside and renamed into place: test programs running at once never read a
        // locale half made.
        const auto making = folder / ("making-" + std::to_string(::getpid()));
        const std::string command =
            "localedef -i de_DE -f UTF-8 '" + making.string() + "' > /dev/null 2>&1";
        std::error_code ec;
        if (std::system(command.c_str()) == 0) std::filesystem::rename(making, target, ec);
        std::filesystem::remove_all(making, ec);
      }
      if (std::filesystem::exists(target)) locale.folder = folder.string();
      return locale;
    }();
    return made;
  }
};

}  // namespace otp::test
