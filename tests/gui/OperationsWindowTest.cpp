#include <gtest/gtest.h>

#include <QFileDialog>

#include "hexfile/FlashBuffer.h"
#include "tests/support/Faults.h"
#include "tests/support/SRecords.h"
#include "tests/support/WindowFixture.h"

namespace otp {
namespace {

using res::id::kBlankCheck;
using res::id::kDownload;
using res::id::kHexFile;
using res::id::kProgramVerify;
using res::id::kReadCompare;
using test::Fault;

class OperationsWindowTest : public test::WindowFixture {
 protected:
  void Click(int id) { test::ClickButton(*dialog, id); }
  std::string WriteImage(const char* name, std::uint32_t address, std::uint8_t value) {
    return dir.Write(name, test::Record('1', address, {value}) + "\n").string();
  }
};

TEST_F(OperationsWindowTest, DownloadShowsItsPromptAndEndsReady) {
  Open();
  bool ownerDisabledDuringPrompt = false;
  QWidget* promptParent = nullptr;
  QWidget* progressWindow = nullptr;
  op.onBox = [&](const test::WindowOperator::Seen&) {
    ownerDisabledDuringPrompt = !dialog->isEnabled();
    promptParent = QApplication::activeModalWidget()->parentWidget();
    progressWindow = dialog->progress().window();
    board.Reset();
  };
  Click(kDownload);
  ASSERT_EQ(op.boxes.size(), 1u);
  EXPECT_EQ(op.boxes[0].text,
            "Please reset the microcontroller on userboard.\nThen push OK button.");
  EXPECT_EQ(op.boxes[0].caption, "otp writer");
  EXPECT_EQ(op.boxes[0].icon, static_cast<unsigned>(QMessageBox::Information));
  EXPECT_TRUE(ownerDisabledDuringPrompt);
  EXPECT_NE(promptParent, nullptr);
  EXPECT_EQ(promptParent, progressWindow);  // owned by the progress window
  ASSERT_EQ(op.acknowledged.size(), 1u);
  EXPECT_EQ(op.acknowledged[0].text, " Download  OK !!");
  EXPECT_EQ(op.acknowledged[0].caption, "Download");
  EXPECT_EQ(ButtonSet(), "11111");
  EXPECT_EQ(dialog->progress().window(), nullptr);
  EXPECT_TRUE(dialog->isEnabled());
  EXPECT_EQ(dialog->focusWidget(), Edit(kHexFile));
}

TEST_F(OperationsWindowTest, MainWindowCannotBeClosedWhileAnOperationRuns) {
  Open();
  op.onBox = [&](const test::WindowOperator::Seen&) {
    dialog->close();  // the window manager's close box
    board.Reset();
  };
  Click(kDownload);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(ButtonSet(), "11111");
  dialog->close();  // once it is over, the close box ends the window again
  EXPECT_FALSE(dialog->isVisible());
}

TEST_F(OperationsWindowTest, FailedDownloadEndsIdle) {
  Open();
  Download();
  board.AddFault(Fault("handshake:silent"));
  Click(kDownload);
  EXPECT_EQ(op.Reports(), (std::vector<std::string>{"ERROR !!\n  No.003 Timeout error",
                                                    "Please redo from download operation"}));
  EXPECT_EQ(ButtonSet(), "11000");
  EXPECT_FALSE(dialog->writer().link.IsOpen());
  EXPECT_TRUE(dialog->isEnabled());
}

TEST_F(OperationsWindowTest, BlankCheckInTheWindow) {
  Open();
  Download();
  Click(kBlankCheck);
  EXPECT_EQ(board.readAddresses.size(), 64u);
  ASSERT_EQ(op.acknowledged.size(), 1u);
  EXPECT_EQ(op.acknowledged[0].text, " Blank Check OK !!");
  EXPECT_EQ(op.acknowledged[0].caption, "BlankCheck");
  EXPECT_EQ(ButtonSet(), "11111");
  EXPECT_EQ(dialog->progress().window(), nullptr);
}

TEST_F(OperationsWindowTest, ShortAnswerQuestionIsAYesNoBox) {
  Open();
  Download();
  board.AddFault(Fault("read-data@1:short=10"));
  board.AddFault(Fault("read-data@3:short=10"));
  op.yesNoAnswers = {true, false};
  Click(kBlankCheck);
  ASSERT_EQ(op.questions.size(), 2u);
  EXPECT_EQ(op.questions[0].text, "COMM error detected\nContinue?");
  EXPECT_EQ(op.questions[0].caption, "BlankChecking");
  EXPECT_EQ(op.questions[0].icon, static_cast<unsigned>(QMessageBox::Warning));
  EXPECT_TRUE(op.acknowledged.empty());  // No: no report
  EXPECT_EQ(board.readAddresses.size(), 3u);
  EXPECT_EQ(ButtonSet(), "11111");
}

TEST_F(OperationsWindowTest, CancelThroughTheWindow) {
  Open();
  Download();
  int steps = 0;
  op.onSleep = nullptr;
  line.onWrite = [&](const std::uint8_t*, std::size_t count) {
    // Pressed while the fourth block is read: acted on before the fifth.
    if (count == 6 && ++steps == 4) {
      QTest::mouseClick(dialog->progress().window()->findChild<QPushButton*>("2"), Qt::LeftButton);
    }
  };
  Click(kBlankCheck);
  EXPECT_EQ(op.Reports(), std::vector<std::string>{"Blank Check Canceled"});
  EXPECT_EQ(board.readAddresses.size(), 4u);
}

TEST_F(OperationsWindowTest, HexFileEditedJustBeforeTheClickIsUsed) {
  Open();
  Download();
  const std::string first = WriteImage("first.mhx", 0xC000, 0x01);
  const std::string second = WriteImage("second.mhx", 0xD000, 0x02);
  Edit(kHexFile)->setText(QString::fromStdString(first));
  Edit(kHexFile)->setFocus();
  Edit(kHexFile)->selectAll();
  QTest::keyClicks(Edit(kHexFile), QString::fromStdString(second));
  Click(kProgramVerify);
  EXPECT_EQ(board.programAddresses, std::vector<std::uint32_t>{0xD000});
  EXPECT_EQ(op.Reports(), std::vector<std::string>{" Program+Verify OK !!"});
  EXPECT_EQ(op.acknowledged[0].caption, "Program+Verify");
}

TEST_F(OperationsWindowTest, BadImageShowsTheDecoderBox) {
  Open();
  Download();
  Edit(kHexFile)->setText(QString::fromStdString(dir.Write("bad.mhx", "\nS1ZZ\n").string()));
  Click(kReadCompare);
  ASSERT_EQ(op.boxes.size(), 1u);
  EXPECT_EQ(op.boxes[0].text, "decode error in 2");
  EXPECT_EQ(op.boxes[0].caption, "S format decoder");
  EXPECT_TRUE(op.acknowledged.empty());
  EXPECT_EQ(ButtonSet(), "11111");
  EXPECT_TRUE(board.readAddresses.empty());
}

TEST_F(OperationsWindowTest, ReadCompareStopsShowContinueAtItsPlace) {
  Open();
  Download();
  Edit(kHexFile)->setText(QString::fromStdString(WriteImage("image.mhx", 0xC123, 0x5A)));
  bool continueVisible = false;
  QRect continuePlace;
  int windowWidth = 0;
  op.atDifference = [&](const test::WindowOperator::Seen&) {
    auto* more = dialog->progress().window()->findChild<QPushButton*>("1029");
    continueVisible = more->isVisible();
    continuePlace = more->geometry();
    windowWidth = dialog->progress().window()->width();
    return true;
  };
  Click(kReadCompare);
  ASSERT_EQ(op.stops.size(), 1u);
  EXPECT_EQ(
      op.stops[0].text,
      "Difference is detected.\n Address : 0xC123\n OTPmemory : 0xFF\n HexFile        : 0x5A");
  EXPECT_EQ(op.stops[0].icon, kIconExclamation);
  EXPECT_EQ(op.stops[0].caption, "Read+Compare");
  EXPECT_TRUE(continueVisible);
  EXPECT_GT(continuePlace.x(), windowWidth / 2);  // right of the centred Ok button
  EXPECT_EQ(op.Reports(), std::vector<std::string>{" Read+Compare  NG !!"});
}

TEST_F(OperationsWindowTest, WholeSessionAsAnOperatorRunsIt) {
  Open();
  const std::string image =
      dir.Write("app.mhx", "S00600004844521B\n" + test::Record('1', 0xC000, {0xA5, 0x5A}) + "\n" +
                               test::Record('1', 0xE000, {0x00}) + "\nS9030000FC\n")
          .string();
  Edit(kHexFile)->setFocus();
  QTest::keyClicks(Edit(kHexFile), QString::fromStdString(image));
  Click(kDownload);
  Click(kBlankCheck);
  Click(kProgramVerify);
  Click(kReadCompare);
  Click(kBlankCheck);
  EXPECT_EQ(op.Reports(), (std::vector<std::string>{
                              " Download  OK !!", " Blank Check OK !!", " Program+Verify OK !!",
                              " Read+Compare  OK !!",
                              "Blank Check Error\n  Address   : 0xC000\n  OTPmemory : 0xA5"}));
  EXPECT_EQ(board.memory()[0xC001], 0x5A);
  EXPECT_EQ(board.memory()[0xE000], 0x00);
  EXPECT_EQ(ButtonSet(), "11111");
}

}  // namespace
}  // namespace otp

namespace otp {
namespace {

// File > Check Against Device...: usable in the ready set only; its report keeps the link.
TEST_F(OperationsWindowTest, CheckAgainstDeviceFromTheMenu) {
  Open();
  QAction* check = dialog->findChild<QAction*>(QString::number(res::id::kMenuCheckAgainstDevice));
  ASSERT_NE(check, nullptr);
  EXPECT_EQ(check->text(), "Check Against &Device...");
  EXPECT_FALSE(check->isEnabled());
  Download();
  EXPECT_TRUE(check->isEnabled());
  Edit(kHexFile)->setText(QString::fromStdString(WriteImage("a.mhx", 0xC010, 0xA1)));
  check->trigger();
  ASSERT_EQ(op.acknowledged.size(), 1u);
  EXPECT_EQ(op.acknowledged[0].text, " Plan  OK !!\n Write 1  Done 0\n Completable 0\n Skip 63");
  EXPECT_EQ(op.acknowledged[0].icon, kIconInformation);
  EXPECT_EQ(op.acknowledged[0].caption, "Check Against Device");
  EXPECT_EQ(ButtonSet(), "11111");
  EXPECT_TRUE(board.programAddresses.empty());

  board.memory()[0xC010] = 0x21;  // 0x21 cannot become 0xA1
  op.acknowledged.clear();
  check->trigger();
  ASSERT_EQ(op.acknowledged.size(), 1u);
  EXPECT_EQ(op.acknowledged[0].text,
            " Plan  NG !!  Conflict 1\n Write 0  Done 0  Compl. 0\n Address : 0xC010\n"
            " OTPmemory : 0x21  HexFile : 0xA1");
  EXPECT_EQ(op.acknowledged[0].icon, kIconExclamation);
  EXPECT_EQ(ButtonSet(), "11111");
  EXPECT_TRUE(check->isEnabled());

  // An error report returns the window to idle: the command with it.
  board.AddFault(Fault("read-reply:silent"));
  op.acknowledged.clear();
  check->trigger();
  EXPECT_EQ(ButtonSet(), "11000");
  EXPECT_FALSE(check->isEnabled());
}

// File > Read Device to File...: a save dialog with three formats, the read in the
// progress window, and a report that names the file.
TEST_F(OperationsWindowTest, ReadDeviceToFileFromTheMenu) {
  Open();
  QAction* read = dialog->findChild<QAction*>(QString::number(res::id::kMenuReadDeviceToFile));
  ASSERT_NE(read, nullptr);
  EXPECT_FALSE(read->isEnabled());
  Download();
  board.memory()[0xC123] = 0x5A;
  const std::string path = (dir / "device.hex").string();
  QStringList filters;
  op.onOtherModal = [&](QWidget* modal) {
    auto* files = qobject_cast<QFileDialog*>(modal);
    if (!files) return false;
    filters = files->nameFilters();
    files->selectNameFilter(filters.value(1));
    files->selectFile(QString::fromStdString((dir / "device").string()));  // no suffix typed
    static_cast<QDialog*>(files)->accept();
    return true;
  };
  read->trigger();
  EXPECT_EQ(filters, (QStringList{"S format file (*.mhx ; *.cnv ; *.ahx)",
                                  "Intel HEX (*.hex ; *.ihx)", "Binary (*.bin)"}));
  ASSERT_EQ(op.acknowledged.size(), 1u);
  EXPECT_EQ(op.acknowledged[0].text, " Read to file  OK !!\n " + path);
  EXPECT_EQ(op.acknowledged[0].caption, "Read Device to File");
  EXPECT_EQ(ButtonSet(), "11111");
  FlashImage image;
  ASSERT_EQ(LoadImageFile(path, 0xC000, 0xFFFF, image).error, ImageError::kNone);
  EXPECT_EQ(image[0xC123], 0x5A);
  EXPECT_EQ(image[0xC124], 0xFF);
  // The Intel HEX file dropped on the window is a Hex File like any other.
  dialog->OnDropFiles({QString::fromStdString(path)});
  op.acknowledged.clear();
  Click(kReadCompare);
  EXPECT_EQ(op.Reports(), std::vector<std::string>{" Read+Compare  OK !!"});
}

}  // namespace
}  // namespace otp
