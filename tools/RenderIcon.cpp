// Writes the application's icon as PNG files, one for each size given, for the desktop's
// icon theme: render-icon FOLDER SIZE...  writes FOLDER/SIZE.png.

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <cstdio>
#include <string>

#include "ui/DialogBuilder.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: render-icon FOLDER SIZE...\n");
    return 64;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication application(argc, argv);
  for (int i = 2; i < argc; ++i) {
    const int size = std::stoi(argv[i]);
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    otp::ui::PaintAppIcon(painter, size);
    painter.end();
    const QString file = QString::fromLocal8Bit(argv[1]) + "/" + QString::number(size) + ".png";
    if (!image.save(file, "PNG")) {
      std::fprintf(stderr, "render-icon: cannot write %s\n", qPrintable(file));
      return 1;
    }
  }
  return 0;
}
