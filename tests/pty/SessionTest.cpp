#include <gtest/gtest.h>
#include <termios.h>

#include <QEventLoop>
#include <QTimer>

#include "link/QtSerialPort.h"
#include "sim/PtyBoard.h"
#include "tests/support/Faults.h"
#include "tests/support/MainWindow.h"
#include "tests/support/OpenFiles.h"
#include "tests/support/SRecords.h"
#include "tests/support/WindowFixture.h"

namespace otp {
namespace {

using res::id::kBlankCheck;
using res::id::kDownload;
using res::id::kHexFile;
using res::id::kProgramVerify;
using res::id::kReadCompare;

// The real window with the real serial port on a pseudo-terminal, against the simulated
// board running on its own thread, in real time. COM1 stands for the board's terminal.
class PtySession : public ::testing::Test {
 protected:
  PtySession() {
    link = (dir / "ttyBOARD").string();
    dir.Write("DATAFILE.TXT", "[Ports]\nCOM1=" + link + "\nCOM2=" + (dir / "absent").string() +
                                  "\n[Recent]\nCPU=1\nRATE=2\nCOM=1\n");
    dir.Write("m_otp.150", std::string(600, '\x3C'));
    op.onBox = [this](const test::WindowOperator::Seen& seen) {
      if (seen.caption == "otp writer") pty->Reset();
    };
  }
  ~PtySession() override {
    dialog.reset();
    if (pty) pty->Stop();
    std::error_code ec;
    std::filesystem::current_path(cwd_, ec);
  }
  void SetUp() override { StartBoard({}); }

  void StartBoard(const std::vector<const char*>& faults) {
    if (pty) pty->Stop();
    board = std::make_unique<sim::TargetBoard>();
    for (const char* fault : faults)
      board->AddFault(test::Fault(fault));
    pty = std::make_unique<sim::PtyBoard>(*board, sim::PtyBoard::Options{link});
    std::string error;
    if (!pty->Start(&error)) GTEST_SKIP() << "no pseudo-terminal: " << error;
  }
  void Open() {
    WriterEnvironment environment;
    environment.programDir = dir.path().string();
    environment.clock = &clock;
    environment.language = Language::kEnglish;
    dialog = std::make_unique<CWriterDlg>(nullptr, environment);
    op.Watch(&dialog->progress());
    dialog->show();
    dialog->activateWindow();
    QApplication::processEvents();
  }
  void Click(int id) {
    op.acknowledged.clear();
    test::ClickButton(*dialog, id);
  }
  std::string ButtonSet() const { return test::ButtonSet(*dialog); }
  template <typename F>
  auto Board(F&& f) {
    return pty->WithBoard(std::forward<F>(f));
  }

  test::TempDir dir;
  std::string link;
  std::unique_ptr<sim::TargetBoard> board;
  std::unique_ptr<sim::PtyBoard> pty;
  test::TestClock clock{false};
  test::WindowOperator op{clock};
  std::unique_ptr<CWriterDlg> dialog;

 private:
  std::filesystem::path cwd_ = std::filesystem::current_path();
};

TEST_F(PtySession, WholeSessionOverASerialPort) {
  const std::string image =
      dir.Write("app.mhx", test::Record('1', 0xC000, {0x12, 0x34}) + "\n" +
                               test::Record('1', 0xF0F0, {0x56}) + "\nS9030000FC\n")
          .string();
  Open();
  auto* hex = dialog->findChild<QLineEdit*>(QString::number(kHexFile));
  hex->setFocus();
  QTest::keyClicks(hex, QString::fromStdString(image));
  Click(kDownload);
  EXPECT_EQ(op.Reports(), std::vector<std::string>{" Download  OK !!"});
  EXPECT_EQ(ButtonSet(), "11111");
  EXPECT_EQ(dialog->focusWidget(), hex);
  termios settings{};
  ASSERT_TRUE(pty->HostSettings(&settings));
  EXPECT_EQ(::cfgetospeed(&settings), static_cast<speed_t>(B19200));
  EXPECT_EQ(Board([](sim::TargetBoard& b) { return b.monitor().size(); }), 600u);

  Click(kBlankCheck);
  EXPECT_EQ(op.Reports(), std::vector<std::string>{" Blank Check OK !!"});
  Click(kProgramVerify);
  EXPECT_EQ(op.Reports(), std::vector<std::string>{" Program+Verify OK !!"});
  Click(kReadCompare);
  EXPECT_EQ(op.Reports(), std::vector<std::string>{" Read+Compare  OK !!"});
  Click(kBlankCheck);
  EXPECT_EQ(op.Reports(), std::vector<std::string>{
                              "Blank Check Error\n  Address   : 0xC000\n  OTPmemory : 0x12"});
  EXPECT_EQ(Board([](sim::TargetBoard& b) { return b.memory()[0xF0F0]; }), 0x56);
  EXPECT_EQ(ButtonSet(), "11111");

  // Download again redoes everything.
  Click(kDownload);
  EXPECT_EQ(op.Reports(), std::vector<std::string>{" Download  OK !!"});
  EXPECT_EQ(Board([](sim::TargetBoard& b) { return b.handshakes; }), 2);
}

TEST_F(PtySession, DownloadFailures) {
  struct Case {
    const char* fault;  // null: none
    const char* report;
  };
  const Case cases[] = {
      {"handshake:silent", " No.003 Timeout error"},
      {"handshake:byte=0x13", " No.011 Communication error"},
      {"download-reply:byte=0x02", " No.020 Sum error"},
      {"download-reply:byte=0x04", " No.018 Device error"},
      {"download-reply:byte=0x21", " No.021 Coordination error"},
      {"download-reply:byte=0x07", " No.011 Communication error"},
      {"download-status:silent", " No.003 Timeout error"},
      {"download-status:byte=0x02", " No.020 Sum error"},
      {"download-status:byte=0x04", " No.001 Download error"},
      {"download-status:byte=0x21", " No.011 Communication error"},
      {"download-data:hangup=100", " No.003 Timeout error"},  // the line goes away
  };
  Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    StartBoard({c.fault});
    Click(kDownload);
    EXPECT_EQ(op.Reports(), (std::vector<std::string>{std::string("ERROR !!\n ") + c.report,
                                                      "Please redo from download operation"}));
    EXPECT_FALSE(dialog->writer().link.IsOpen());
    EXPECT_EQ(ButtonSet(), "11000");
    EXPECT_TRUE(dialog->isEnabled());
  }
}

TEST_F(PtySession, MonitorFileProblems) {
  Open();
  std::filesystem::remove(dir / "m_otp.150");
  Click(kDownload);
  EXPECT_EQ(op.Reports()[0], "ERROR !!\n  No.007 Unable to open download file.");
  dir.Write("m_otp.150", std::string(70000, 'x'));
  Click(kDownload);
  EXPECT_EQ(op.Reports()[0], "ERROR !!\n  No.008 Unable to gain file size.");
  EXPECT_EQ(Board([](sim::TargetBoard& b) { return b.handshakes; }), 0);
  EXPECT_EQ(ButtonSet(), "11000");
}

TEST_F(PtySession, PortHeldByAnotherOrAbsent) {
  Open();
  QtSerialPortFactory ports;
  auto other = ports.Open(link);  // another program holds the port
  ASSERT_NE(other, nullptr);
  Click(kDownload);
  EXPECT_EQ(op.Reports(), (std::vector<std::string>{"ERROR !!\n  No.006 Unable to open COM port.",
                                                    "Please redo from download operation"}));
  EXPECT_FALSE(dialog->writer().link.IsOpen());
  other.reset();
  Click(kDownload);  // nothing of the failed attempt is left open
  EXPECT_EQ(op.Reports(), std::vector<std::string>{" Download  OK !!"});

  // COM2 names a device that does not exist.
  auto* com = dialog->findChild<QComboBox*>(QString::number(res::id::kComPort));
  com->setFocus();
  QTest::keyClick(com, Qt::Key_Down);
  EXPECT_FALSE(dialog->writer().link.IsOpen());
  Click(kDownload);
  EXPECT_EQ(op.Reports()[0], "ERROR !!\n  No.006 Unable to open COM port.");
  EXPECT_EQ(ButtonSet(), "11000");
}

TEST_F(PtySession, LineGoneDuringABlockAnswer) {
  Open();
  Click(kDownload);
  ASSERT_EQ(ButtonSet(), "11111");
  Board([](sim::TargetBoard& b) { b.AddFault(test::Fault("read-data@3:hangup=100")); });
  op.yesNoAnswers = {false};
  Click(kBlankCheck);
  ASSERT_EQ(op.questions.size(), 1u);
  EXPECT_EQ(op.questions[0].text, "COMM error detected\nContinue?");
  EXPECT_TRUE(op.acknowledged.empty());
  // The next operation finds the line gone and says so.
  Click(kBlankCheck);
  EXPECT_EQ(op.Reports(), (std::vector<std::string>{"ERROR !!\n  No.003 Timeout error",
                                                    "Please redo from download operation"}));
  EXPECT_EQ(ButtonSet(), "11000");
}

}  // namespace
}  // namespace otp

namespace otp {
namespace {

// The line goes away while the window waits ready (a cable pulled between operations): the
// window keeps sleeping, and the next operation reports the failure.
TEST_F(PtySession, LineGoneWhileIdle) {
  Open();
  Click(kDownload);
  ASSERT_EQ(ButtonSet(), "11111");
  pty->Stop();  // the far end of the line is gone
  const double cpu = test::CpuSeconds();
  QEventLoop idle;  // the window's own loop, for a second
  QTimer::singleShot(1000, &idle, &QEventLoop::quit);
  idle.exec();
  EXPECT_LT(test::CpuSeconds() - cpu, 0.2);
  Click(kBlankCheck);
  ASSERT_FALSE(op.Reports().empty());
  EXPECT_EQ(op.Reports()[0].rfind("ERROR !!", 0), 0u);
  EXPECT_EQ(ButtonSet(), "11000");
}

}  // namespace
}  // namespace otp
