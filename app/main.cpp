#include <QApplication>
#include <clocale>
#include <cstdio>

#include "app/CWriterApp.h"
#include "app/StationWindow.h"
#include "res/StringTable.h"
#include "ui/DialogBuilder.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  // Qt takes the user's locale for the C library; numbers written for machines keep a
  // point whatever it is.
  std::setlocale(LC_NUMERIC, "C");
  QApplication::setApplicationName(QString::fromUtf8(otp::res::kAppTitle));
  QApplication::setWindowIcon(otp::ui::AppIcon());
  const std::vector<std::string> args(argv + 1, argv + argc);
  // otpwriter --station [-p PORT]... [--db LOCATION] [--lot NAME [--quantity N]] [JOB]: the
  // production station.
  if (!args.empty() && args.front() == "--station") {
    std::string error;
    const auto choices =
        otp::ParseStationArguments(std::vector<std::string>(args.begin() + 1, args.end()), error);
    if (!choices) {
      std::fprintf(stderr,
                   "otpwriter: %s\nusage: otpwriter --station [-p PORT]... [--db LOCATION] [--lot "
                   "NAME [--quantity N]] [JOB]\n",
                   error.c_str());
      return 64;
    }
    otp::StationWindow station(*choices);
    station.show();
    return QApplication::exec();
  }
  otp::CWriterApp writer;
  return writer.InitInstance() ? 1 : 0;
}
