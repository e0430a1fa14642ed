#include "app/CAboutDlg.h"

#include <QLabel>
#include <QPushButton>
#include <cstdio>

#include "res/Templates.h"
#include "res/Version.h"
#include "ui/DialogBuilder.h"

namespace otp {

ProductVersion CompiledVersion() {
  ProductVersion version;
  version.parts[0] = OTP_VERSION_MAJOR;
  version.parts[1] = OTP_VERSION_MINOR;
  version.parts[2] = OTP_VERSION_PATCH;
  version.parts[3] = OTP_VERSION_TWEAK;
  version.prerelease = OTP_VERSION_PRERELEASE != 0;
  return version;
}

std::string VersionText(const ProductVersion& version) {
  char text[32];
  std::snprintf(text, sizeof(text), "V%02d,L%02d", version.parts[1], version.parts[3]);
  std::string result = text;
  if (version.prerelease) result += " beta";
  return result;
}

CAboutDlg::CAboutDlg(Language language, QWidget* parent) : QDialog(parent) {
  const res::DialogTemplate& dialog = res::AboutDialogTemplate(language == Language::kJapanese);
  setObjectName(QStringLiteral("100"));
  setWindowTitle(QString::fromUtf8(dialog.caption));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
  const auto controls = ui::BuildControls(this, dialog);
  setFixedSize(size());
  auto* ok = static_cast<QPushButton*>(controls.at(res::id::kOk));
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  ok->setFocus();
  OnInitDialog();
}

void CAboutDlg::OnInitDialog() {
  auto* version = findChild<QLabel*>(ui::ControlName(res::id::kVersion));
  version->setText(QString::fromStdString(VersionText(CompiledVersion())));
}

}  // namespace otp
