#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QDropEvent>
#include <QFileDialog>
#include <QMimeData>
#include <QUrl>

#include "app/CAboutDlg.h"
#include "app/CWriterApp.h"
#include "ops/job/Job.h"
#include "tests/support/SRecords.h"
#include "tests/support/WindowFixture.h"

namespace otp {
namespace {

using res::id::kBlankCheck;
using res::id::kComPort;
using res::id::kCpu;
using res::id::kDownload;
using res::id::kEnd;
using res::id::kHexFile;
using res::id::kProgramVerify;
using res::id::kReadCompare;
using res::id::kSize;
using res::id::kSpeed;
using res::id::kStart;

class MainWindowTest : public test::WindowFixture {
 protected:
  QAction* Command(int id) const { return dialog->findChild<QAction*>(Name(id)); }
  void DropFiles(const QStringList& paths) {
    QMimeData data;
    QList<QUrl> urls;
    for (const QString& path : paths)
      urls << QUrl::fromLocalFile(path);
    data.setUrls(urls);
    const QPoint at = Edit(kHexFile)->geometry().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(dialog.get(), &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(dialog.get(), &drop);
  }
};

TEST_F(MainWindowTest, FirstStartShowsTheDefaults) {
  Open();
  EXPECT_EQ(List(kCpu)->currentText(), "KT47C630A");
  EXPECT_EQ(List(kSpeed)->currentText(), "2MHz");
  EXPECT_EQ(List(kSpeed)->count(), 3);
  EXPECT_EQ(List(kComPort)->currentText(), "COM1");
  EXPECT_EQ(Edit(kHexFile)->text(), "");
  EXPECT_EQ(Edit(kStart)->text(), "C000H");
  EXPECT_EQ(Edit(kEnd)->text(), "FFFFH");
  EXPECT_EQ(Edit(kSize)->text(), "4000H");
  EXPECT_EQ(ButtonSet(), "11000");
  EXPECT_EQ(dialog->focusWidget(), List(kCpu));
  EXPECT_FALSE(dialog->writer().link.IsOpen());
  EXPECT_FALSE(std::filesystem::exists(dir / "DATAFILE.TXT"));  // nothing written yet
}

TEST_F(MainWindowTest, ControlsFollowTheTemplateInTabOrder) {
  Open();
  const QWidget* client = dialog->findChild<QWidget*>("client");
  // Dialog units scale with the font, so the proportions of the template hold.
  const double across = client->width() / 235.0;
  const double down = client->height() / 103.0;
  const QRect hex = Edit(kHexFile)->geometry();
  EXPECT_NEAR(hex.x(), 4 * across, 2);
  EXPECT_NEAR(hex.width(), 227 * across, 2);
  EXPECT_NEAR(hex.y(), 62 * down, 2);
  const QRect download = Button(kDownload)->geometry();
  EXPECT_NEAR(download.x(), 87 * across, 2);
  EXPECT_NEAR(download.height(), 19 * down, 2);
  EXPECT_EQ(Button(kBlankCheck)->text(), "&Blank Check");
  EXPECT_EQ(Button(kProgramVerify)->text(), "&Program+Verify");
  EXPECT_EQ(Button(kReadCompare)->text(), "&Read+Compare");
  EXPECT_TRUE(Edit(kStart)->isReadOnly());
  EXPECT_EQ(Edit(kStart)->focusPolicy(), Qt::ClickFocus);  // no tab stop
  EXPECT_FALSE(Edit(kHexFile)->isReadOnly());
  for (const int id : {kBlankCheck, kProgramVerify, kReadCompare, kDownload}) {
    EXPECT_FALSE(Button(id)->isDefault()) << id;
  }
  // Tab order: the Hex File box, the three buttons, the lists, Download.
  dialog->ApplyReadySet();
  std::vector<QWidget*> order;
  QWidget* widget = Edit(kHexFile);
  for (int i = 0; i < 8; ++i) {
    order.push_back(widget);
    widget = widget->nextInFocusChain();
    while (widget->focusPolicy() != Qt::StrongFocus && widget->focusPolicy() != Qt::WheelFocus) {
      widget = widget->nextInFocusChain();
    }
  }
  EXPECT_EQ(order, (std::vector<QWidget*>{Edit(kHexFile), Button(kBlankCheck),
                                          Button(kProgramVerify), Button(kReadCompare), List(kCpu),
                                          List(kSpeed), List(kComPort), Button(kDownload)}));
  // The menu bar's commands.
  EXPECT_EQ(Command(res::id::kMenuHexFileSelect)->text(), "HexFile &Select...");
  EXPECT_EQ(Command(res::id::kMenuExit)->text(), "&Exit");
  EXPECT_EQ(Command(res::id::kMenuAbout)->text(), "&About");
}

TEST_F(MainWindowTest, ChoicesSurviveARestart) {
  Open();
  Choose(kComPort, 2);
  EXPECT_NE(Settings().find("COM=3"), std::string::npos);
  Choose(kSpeed, 2);
  EXPECT_NE(Settings().find("RATE=2"), std::string::npos);
  Open();
  EXPECT_EQ(List(kComPort)->currentText(), "COM3");
  EXPECT_EQ(List(kSpeed)->currentText(), "8MHz");
  // A new model sets the speed back to "2MHz" and saves that.
  Choose(kCpu, 1);
  EXPECT_EQ(List(kSpeed)->currentText(), "2MHz");
  EXPECT_EQ(Settings(), "[Recent]\nCPU=1\nRATE=0\nCOM=3\nWrite File=\n");
  EXPECT_EQ(dialog->writer().spec.m_strMonitorFile, "m_otp.150");
  Open();
  EXPECT_EQ(List(kCpu)->currentText(), "KT47C150");
}

// A settings file that cannot be read is never replaced: the window says so, once, and
// the file (here a folder of that name) stays as it is.
TEST_F(MainWindowTest, AnUnreadableSettingsFileIsNotReplaced) {
  std::filesystem::create_directory(dir / "DATAFILE.TXT");
  dir.Write("DATAFILE.TXT/kept", "[Ports]\n");
  Open();
  Choose(kComPort, 2);
  Choose(kSpeed, 1);
  ASSERT_EQ(op.boxes.size(), 1u);
  EXPECT_NE(op.boxes[0].text.find("could not be read: it is left as it is"), std::string::npos)
      << op.boxes[0].text;
  EXPECT_TRUE(std::filesystem::is_directory(dir / "DATAFILE.TXT"));
  EXPECT_EQ(dir.Read("DATAFILE.TXT/kept"), "[Ports]\n");
}

// File > Save Job...: the window's choices and the engineer's fields become a job file
// that checks against its checksum; File > Production Station... starts the station with
// the choices just saved, the window's link closed first.
TEST_F(MainWindowTest, SaveJobAndOpenTheStation) {
  dir.Write("app.mhx", test::Record('1', 0xC000, {1}) + "\n");
  Open();
  Choose(kCpu, 1);
  Choose(kSpeed, 2);
  Edit(kHexFile)->setText("app.mhx");
  const std::string path = (dir / "line2.otpjob").string();
  op.onOtherModal = [&](QWidget* modal) {
    if (modal->objectName() == "SaveJob") {
      modal->findChild<QLineEdit*>("name")->setText("LINE-2");
      modal->findChild<QLineEdit*>("serial")->setText("0xFFF0:be16");
      modal->findChild<QLineEdit*>("start")->setText("500");
      modal->findChild<QCheckBox*>("confirm")->setChecked(true);
      static_cast<QDialog*>(modal)->accept();
      return true;
    }
    if (auto* files = qobject_cast<QFileDialog*>(modal)) {
      files->selectFile(QString::fromStdString(path));
      static_cast<QDialog*>(files)->accept();
      return true;
    }
    return false;
  };
  Command(res::id::kMenuSaveJob)->trigger();
  ASSERT_EQ(op.boxes.size(), 1u);
  EXPECT_NE(op.boxes[0].text.find("The job LINE-2 is saved"), std::string::npos)
      << op.boxes[0].text;
  Job job;
  ASSERT_EQ(ReadJob(path, job).kind, JobProblem::Kind::kNone);
  EXPECT_EQ(job.name, "LINE-2");
  EXPECT_EQ(std::string(job.model->model), "KT47C150");
  EXPECT_EQ(job.rate, 2);
  EXPECT_EQ(job.rule->Text(), "0xFFF0:be16");
  EXPECT_EQ(job.serialStart, 500u);
  EXPECT_TRUE(job.confirm);
  EXPECT_EQ(job.image[0xC000], 0x01);
  EXPECT_NE(op.boxes[0].text.find(job.ShortChecksum()), std::string::npos);
  // A serial number on the image's data is refused, with its reason.
  op.onOtherModal = [&](QWidget* modal) {
    if (modal->objectName() != "SaveJob") return false;
    modal->findChild<QLineEdit*>("name")->setText("BAD");
    modal->findChild<QLineEdit*>("serial")->setText("0xC000:be16");
    static_cast<QDialog*>(modal)->accept();
    return true;
  };
  Command(res::id::kMenuSaveJob)->trigger();
  ASSERT_EQ(op.boxes.size(), 2u);
  EXPECT_NE(op.boxes[1].text.find("where the serial number goes"), std::string::npos);

  Download();
  Command(res::id::kMenuProductionStation)->trigger();
  EXPECT_EQ(started, (std::vector<std::vector<std::string>>{{"--station"}}));
  EXPECT_FALSE(dialog->writer().link.IsOpen());
  EXPECT_EQ(ButtonSet(), "11000");
  EXPECT_NE(Settings().find("Write File=app.mhx"), std::string::npos);
}

TEST_F(MainWindowTest, UnknownModelInTheFileIsASystemError) {
  dir.Write("DATAFILE.TXT", "[Recent]\nCPU=5\nRATE=1\nCOM=2\n");
  Open();
  ASSERT_EQ(op.boxes.size(), 1u);
  EXPECT_EQ(op.boxes[0].text, "System error in GetChipSpec");
  EXPECT_EQ(op.boxes[0].caption, "OTP Writer");
  EXPECT_EQ(List(kCpu)->currentIndex(), -1);
  EXPECT_EQ(List(kSpeed)->count(), 0);
  EXPECT_EQ(List(kComPort)->currentText(), "COM2");
  // A later change of the COM list writes CPU=0 and RATE=0; the list shows the first model.
  Choose(kComPort, 0);
  EXPECT_EQ(Settings(), "[Recent]\nCPU=0\nRATE=0\nCOM=1\nWrite File=\n");
  EXPECT_EQ(List(kCpu)->currentText(), "KT47C630A");
  // Without a model there is no bit rate: Download refuses before anything is sent.
  QTest::mouseClick(Button(kDownload), Qt::LeftButton);
  ASSERT_FALSE(op.acknowledged.empty());
  EXPECT_EQ(op.acknowledged[0].text, "ERROR !!\n  No.010 Unable to change COM port setting.");
  EXPECT_TRUE(line.written.empty());
  EXPECT_EQ(op.boxes.size(), 1u);  // shown once
}

TEST_F(MainWindowTest, ComListMatchesAPrefixWithoutRegardToCase) {
  dir.Write("DATAFILE.TXT", "[Recent]\nCOM=2\n");
  Open();
  EXPECT_EQ(List(kComPort)->currentText(), "COM2");
  dialog->m_strComPort = "com4";
  dialog->UpdateData(false);
  EXPECT_EQ(List(kComPort)->currentText(), "COM4");
  dialog->m_strComPort = "COM9";  // matches nothing: the selection stays
  dialog->UpdateData(false);
  EXPECT_EQ(List(kComPort)->currentText(), "COM4");
}

// A stored port that names no entry: the entry the list shows is the port opened.
TEST_F(MainWindowTest, StoredPortOutsideTheListOpensThePortShown) {
  for (const char* stored : {"9", "0", "-3"}) {
    SCOPED_TRACE(stored);
    dir.Write("DATAFILE.TXT",
              std::string("[Ports]\nCOM1=/dev/ttyUSB0\n[Recent]\nCOM=") + stored + "\n");
    Open();
    EXPECT_EQ(List(kComPort)->currentText(), "COM1");
    Download();
    EXPECT_EQ(line.opens, 1);
    line.opens = 0;
  }
}

TEST_F(MainWindowTest, ComListShowsTheDeviceAsToolTip) {
  dir.Write("DATAFILE.TXT", "[Ports]\nCOM2=/dev/ttyACM7\n[Recent]\nCOM=2\n");
  Open();
  EXPECT_EQ(List(kComPort)->toolTip(), "/dev/ttyACM7");
  EXPECT_EQ(List(kComPort)->itemData(0, Qt::ToolTipRole).toString(), "/dev/ttyUSB0");
  // The program never writes the section.
  Choose(kComPort, 0);
  EXPECT_EQ(Settings(),
            "[Ports]\nCOM2=/dev/ttyACM7\n[Recent]\nCOM=1\nCPU=0\nRATE=0\nWrite File=\n");
}

TEST_F(MainWindowTest, AreaBoxesHoldSevenCharactersAtMost) {
  Open();
  EXPECT_EQ(Edit(kStart)->maxLength(), 7);
  EXPECT_TRUE(dialog->UpdateData(true));
  Edit(kStart)->setMaxLength(100);
  Edit(kStart)->setText("ABCDEFGH");
  EXPECT_FALSE(dialog->UpdateData(true));
  EXPECT_EQ(dialog->m_strStart, "C000H");
}

TEST_F(MainWindowTest, ChangingModelSpeedOrPortWhileReadyClosesTheLink) {
  for (const int list : {kCpu, kSpeed, kComPort}) {
    SCOPED_TRACE(list);
    Open();
    Download();
    Choose(list, 1);
    EXPECT_FALSE(dialog->writer().link.IsOpen());
    EXPECT_FALSE(line.isOpen);
    EXPECT_EQ(ButtonSet(), "11000");
  }
}

TEST_F(MainWindowTest, HexFileIsSavedWhenTheBoxLosesTheFocus) {
  Open();
  Edit(kHexFile)->setFocus();
  QTest::keyClicks(Edit(kHexFile), "typed.mhx");
  EXPECT_EQ(Settings(), "");  // not on every keystroke
  List(kCpu)->setFocus();
  QApplication::processEvents();
  EXPECT_NE(Settings().find("Write File=typed.mhx"), std::string::npos);
}

TEST_F(MainWindowTest, DropTakesTheFirstFileAndLeavesTheLinkAlone) {
  Open();
  Download();
  DropFiles({"/data/first.mhx", "/data/second.mhx"});
  EXPECT_EQ(Edit(kHexFile)->text(), "/data/first.mhx");
  EXPECT_NE(Settings().find("Write File=/data/first.mhx"), std::string::npos);
  EXPECT_TRUE(dialog->writer().link.IsOpen());
  EXPECT_EQ(ButtonSet(), "11111");
  // Any name is taken; a file dropped on the box goes to the window too.
  DropFiles({"/data/readme.txt"});
  EXPECT_EQ(Edit(kHexFile)->text(), "/data/readme.txt");
}

TEST_F(MainWindowTest, HexFileSelectOpensInTheFilesFolderAndRestoresTheProgramFolder) {
  test::TempDir data;
  const auto chosen = data.Write("app.mhx", "S9030000FC\n");
  Open();
  Edit(kHexFile)->setText(QString::fromStdString((data / "old.mhx").string()));
  std::string folderDuring;
  QStringList filters;
  op.onOtherModal = [&](QWidget* modal) {
    auto* files = qobject_cast<QFileDialog*>(modal);
    if (!files) return false;
    folderDuring = std::filesystem::current_path().string();
    filters = files->nameFilters();
    files->selectFile(QString::fromStdString(chosen.string()));
    static_cast<QDialog*>(files)->accept();
    return true;
  };
  Command(res::id::kMenuHexFileSelect)->trigger();
  EXPECT_EQ(folderDuring, data.path().string());
  EXPECT_EQ(filters, (QStringList{"S format file (*.cnv ; *.mhx ; *.ahx)", "all file (*)",
                                  "Intel HEX (*.hex ; *.ihx)"}));
  EXPECT_EQ(Edit(kHexFile)->text().toStdString(), chosen.string());
  EXPECT_EQ(std::filesystem::current_path(), dir.path());
  EXPECT_NE(Settings().find("Write File=" + chosen.string()), std::string::npos);

  // Cancel: the box keeps its text, the folder is restored and the settings are saved.
  std::filesystem::remove(dir / "DATAFILE.TXT");
  op.onOtherModal = [&](QWidget* modal) {
    auto* files = qobject_cast<QFileDialog*>(modal);
    if (!files) return false;
    folderDuring = std::filesystem::current_path().string();
    files->reject();
    return true;
  };
  Command(res::id::kMenuHexFileSelect)->trigger();
  EXPECT_EQ(folderDuring, data.path().string());
  EXPECT_EQ(Edit(kHexFile)->text().toStdString(), chosen.string());
  EXPECT_EQ(std::filesystem::current_path(), dir.path());
  EXPECT_TRUE(std::filesystem::exists(dir / "DATAFILE.TXT"));
}

TEST_F(MainWindowTest, EnterEscapeAndTheCloseBoxEndTheWindow) {
  struct Case {
    const char* what;
    std::function<void(CWriterDlg&)> act;
    int result;
  };
  const Case cases[] = {
      {"Enter", [](CWriterDlg& d) { QTest::keyClick(&d, Qt::Key_Return); }, QDialog::Accepted},
      {"Escape", [](CWriterDlg& d) { QTest::keyClick(&d, Qt::Key_Escape); }, QDialog::Rejected},
      {"close box", [](CWriterDlg& d) { d.close(); }, QDialog::Rejected},
      {"Exit",
       [](CWriterDlg& d) { d.findChild<QAction*>(QString::number(res::id::kMenuExit))->trigger(); },
       QDialog::Accepted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Open();
    List(kCpu)->setFocus();
    c.act(*dialog);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->result(), c.result);
  }
  // Enter on a focused button clicks that button instead.
  Open();
  Button(kDownload)->setFocus();
  QTest::keyClick(Button(kDownload), Qt::Key_Return);
  EXPECT_TRUE(dialog->isVisible());
  EXPECT_EQ(line.opens, 1);
}

TEST_F(MainWindowTest, AboutFromTheMenuAndFromTheSystemCommand) {
  Open();
  std::vector<std::string> versions;
  op.onOtherModal = [&](QWidget* modal) {
    auto* about = dynamic_cast<CAboutDlg*>(modal);
    if (!about) return false;
    versions.push_back(about->findChild<QLabel*>("1028")->text().toStdString());
    about->accept();
    return true;
  };
  Command(res::id::kMenuAbout)->trigger();
  dialog->OnSysCommand(0x0010, 0);
  dialog->OnSysCommand(0x001F, 0);  // the low four bits do not count
  dialog->OnSysCommand(0xF060, 0);  // any other system command: no About box
  EXPECT_EQ(versions, (std::vector<std::string>{"V01,L08", "V01,L08", "V01,L08"}));
}

TEST_F(MainWindowTest, ExitDeletesScratchFilesFromTheProgramFolderOnly) {
  test::TempDir working;
  for (const char* name : {"batch.bat", "_w_o_r_k.5"}) {
    dir.Write(name, "scratch");
    working.Write(name, "the operator's own file");
  }
  std::filesystem::current_path(working.path());
  QTimer::singleShot(0, [] {
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (auto* main = dynamic_cast<CWriterDlg*>(window)) main->OnExit();
    }
  });
  WriterEnvironment environment;
  environment.programDir = dir.path().string();
  environment.clock = &clock;
  environment.ports = &line;
  CWriterApp app(environment);
  EXPECT_FALSE(app.InitInstance());
  EXPECT_FALSE(std::filesystem::exists(dir / "batch.bat"));
  EXPECT_FALSE(std::filesystem::exists(dir / "_w_o_r_k.5"));
  EXPECT_EQ(working.Read("batch.bat"), "the operator's own file");
  EXPECT_EQ(working.Read("_w_o_r_k.5"), "the operator's own file");
}

// An installed program, whose folder is not the user's: the settings go to the user's
// configuration folder, made at the first save; a monitor missing beside the program is
// found in a data folder; the program's folder is never written to nor cleaned.
TEST_F(MainWindowTest, InstalledProgramKeepsItsFilesInTheUsersFolders) {
  test::TempDir home;
  test::TempDir system;
  std::filesystem::remove(dir / "m_otp.150");
  std::filesystem::create_directories(system / "otpwriter");
  system.Write("otpwriter/m_otp.150", std::string(300, '\x15'));
  dir.Write("batch.bat", "scratch");
  locations = LocateFiles(
      {dir.path().string(), false, home.path().string(), "", "", "relative:" + system.dir()});
  Open();
  Choose(kCpu, 1);  // KT47C150, saved at once
  const auto settings = home / ".config" / "otpwriter" / "DATAFILE.TXT";
  EXPECT_NE(test::TempDir::ReadFile(settings).find("CPU=1"), std::string::npos);
  Download();
  EXPECT_EQ(board.monitor(), std::vector<std::uint8_t>(300, 0x15));

  Open();  // the next start finds its settings again
  EXPECT_EQ(List(kCpu)->currentText(), "KT47C150");
  WriterEnvironment environment;
  environment.programDir = dir.path().string();
  environment.clock = &clock;
  environment.ports = &line;
  environment.locations = locations;
  dialog.reset();
  CWriterApp app(environment);
  QTimer::singleShot(0, [] {
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (auto* main = dynamic_cast<CWriterDlg*>(window)) main->OnExit();
    }
  });
  app.InitInstance();
  EXPECT_EQ(dir.Read("batch.bat"), "scratch");
  EXPECT_FALSE(std::filesystem::exists(dir / "DATAFILE.TXT"));
}

TEST(VersionText, SecondAndFourthPartsAndThePreReleaseFlag) {
  struct Case {
    ProductVersion version;
    const char* text;
  };
  const Case cases[] = {
      {{{0, 1, 0, 8}, false}, "V01,L08"},
      {{{2, 13, 0, 105}, false}, "V13,L105"},
      {{{1, 1, 0, 0}, true}, "V01,L00 beta"},
      {{{9, 0, 7, 3}, false}, "V00,L03"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(VersionText(c.version), c.text);
  EXPECT_EQ(VersionText(CompiledVersion()), "V01,L08");
}

}  // namespace
}  // namespace otp
