#include <QApplication>

#include "app/CWriterApp.h"
#include "res/StringTable.h"
#include "ui/DialogBuilder.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QString::fromUtf8(otp::res::kAppTitle));
  QApplication::setWindowIcon(otp::ui::AppIcon());
  otp::CWriterApp writer;
  return writer.InitInstance() ? 1 : 0;
}
