#pragma once

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <filesystem>
#include <memory>
#include <string>

#include "app/CWriterDlg.h"
#include "res/Templates.h"
#include "sim/TargetBoard.h"
#include "tests/support/FakeLine.h"
#include "tests/support/MainWindow.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestClock.h"
#include "tests/support/WindowOperator.h"

namespace otp::test {

/// The real main window, offscreen, on virtual time, with a simulated board on a fake line
/// that COM1 stands for, a temporary program folder with monitor files, and an operator.
class WindowFixture : public ::testing::Test {
 protected:
  WindowFixture() {
    dir.Write("m_otp.630", std::string(500, '\x5A'));
    dir.Write("m_otp.150", std::string(500, '\x5A'));
    op.onBox = [this](const WindowOperator::Seen& seen) {
      if (seen.text == "Please reset the microcontroller on userboard.\nThen push OK button.") {
        board.Reset();
      }
    };
  }
  ~WindowFixture() override {
    dialog.reset();
    std::error_code ec;
    std::filesystem::current_path(cwd_, ec);
  }

  /// Opens the window (again), as the program starts.
  void Open(Language language = Language::kEnglish) {
    dialog.reset();
    WriterEnvironment environment;
    environment.programDir = dir.path().string();
    environment.clock = &clock;
    environment.ports = &line;
    environment.language = language;
    environment.locations = locations;
    environment.startProgram = [this](const std::vector<std::string>& arguments) {
      started.push_back(arguments);
      return true;
    };
    dialog = std::make_unique<CWriterDlg>(nullptr, environment);
    op.Watch(&dialog->progress());
    dialog->show();
    QApplication::processEvents();
  }

  /// The programs the window started, by their arguments.
  std::vector<std::vector<std::string>> started;

  QPushButton* Button(int id) const { return dialog->findChild<QPushButton*>(Name(id)); }
  QComboBox* List(int id) const { return dialog->findChild<QComboBox*>(Name(id)); }
  QLineEdit* Edit(int id) const { return dialog->findChild<QLineEdit*>(Name(id)); }
  static QString Name(int id) { return QString::number(id); }

  /// Chooses entry `index` of a list as the operator does, with the keyboard.
  void Choose(int listId, int index) {
    QComboBox* list = List(listId);
    list->setFocus();
    while (list->currentIndex() < index)
      QTest::keyClick(list, Qt::Key_Down);
    while (list->currentIndex() > index)
      QTest::keyClick(list, Qt::Key_Up);
  }

  std::string ButtonSet() const { return test::ButtonSet(*dialog); }

  std::string Settings() const { return dir.Read("DATAFILE.TXT"); }

  /// Clicks Download and checks that it worked.
  void Download() {
    ClickButton(*dialog, res::id::kDownload);
    ASSERT_EQ(ButtonSet(), "11111");
    ASSERT_TRUE(dialog->writer().link.IsOpen());
    op.acknowledged.clear();
    op.boxes.clear();
  }

  TestClock clock;
  sim::TargetBoard board;
  FakeLine line{clock, board, "/dev/ttyUSB0"};
  TempDir dir;
  WindowOperator op{clock};
  std::unique_ptr<CWriterDlg> dialog;
  std::optional<FileLocations> locations;  // default: those of a portable copy in `dir`

 private:
  std::filesystem::path cwd_ = std::filesystem::current_path();
};

}  // namespace otp::test
