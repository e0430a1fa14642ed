#pragma once

#include <QDialog>
#include <cstdint>
#include <string>

#include "core/Catalogue.h"

namespace otp {

/// The product version of the program file: four parts and the pre-release flag.
struct ProductVersion {
  std::uint16_t parts[4] = {0, 0, 0, 0};
  bool prerelease = false;
};

/// The version compiled into this program.
ProductVersion CompiledVersion();

/// "V%02d,L%02d" of the second and the fourth part, with " beta" for a pre-release.
std::string VersionText(const ProductVersion& version);

/// The About box: icon, title, version and copyright line, in the user's language.
class CAboutDlg : public QDialog {
 public:
  explicit CAboutDlg(Language language, QWidget* parent = nullptr);

 private:
  void OnInitDialog();
};

}  // namespace otp
