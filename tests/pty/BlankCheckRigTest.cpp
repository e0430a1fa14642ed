#include <gtest/gtest.h>

#include <atomic>

#include "res/Templates.h"
#include "tests/support/Faults.h"
#include "tests/support/MainWindow.h"
#include "tests/support/Rig.h"
#include "tests/support/TempDir.h"
#include "tests/support/WindowOperator.h"

namespace otp {
namespace {

using test::Fault;

enum class RigKind { kVirtual, kPty };

// Blank Check through the real main window, once on the virtual clock with the fake line,
// once through the real serial port on a pseudo-terminal.
class BlankCheckRig : public ::testing::TestWithParam<RigKind> {
 protected:
  void SetUp() override {
    if (GetParam() == RigKind::kVirtual) {
      rig = std::make_unique<test::FakeRig>();
    } else {
      auto pty = std::make_unique<test::PtyRig>((dir / "ttyBOARD").string());
      std::string error;
      if (!pty->Start(&error)) GTEST_SKIP() << "no pseudo-terminal: " << error;
      rig = std::move(pty);
    }
    dir.Write("DATAFILE.TXT", rig->PortsSection() + "[Recent]\nCPU=1\nRATE=2\nCOM=1\n");
    dir.Write("m_otp.150", std::string(64, '\x01'));
    op = std::make_unique<test::WindowOperator>(rig->clock());
    op->onBox = [this](const test::WindowOperator::Seen& seen) {
      if (seen.caption == "otp writer") rig->Reset();
    };
    WriterEnvironment environment;
    environment.programDir = dir.path().string();
    environment.language = Language::kEnglish;
    rig->Complete(environment);
    dialog = std::make_unique<CWriterDlg>(nullptr, environment);
    op->Watch(&dialog->progress());
    dialog->show();
    QApplication::processEvents();
    Click(res::id::kDownload);
    ASSERT_EQ(op->Reports(), std::vector<std::string>{" Download  OK !!"});
  }
  void TearDown() override {
    if (rig) rig->WithBoard([](sim::TargetBoard& board) { board.onCommand = nullptr; });
    dialog.reset();
    op.reset();
    rig.reset();
    std::error_code ec;
    std::filesystem::current_path(cwd_, ec);
  }

  void Click(int id) {
    op->acknowledged.clear();
    test::ClickButton(*dialog, id);
  }
  void BlankCheck() {
    rig->WithBoard([](sim::TargetBoard& board) { board.readAddresses.clear(); });
    Click(res::id::kBlankCheck);
  }
  std::size_t Reads() {
    std::size_t reads = 0;
    rig->WithBoard([&](sim::TargetBoard& board) { reads = board.readAddresses.size(); });
    return reads;
  }
  void AddFault(const char* rule) {
    rig->WithBoard([rule](sim::TargetBoard& board) { board.AddFault(Fault(rule)); });
  }
  bool LinkOpen() const { return dialog->writer().link.IsOpen(); }
  /// Presses Escape when the board is asked for the block at `block` (on the board's own
  /// thread over a pseudo-terminal): the press waits in the queue while the block is read.
  void PressWhileReading(std::uint16_t block) {
    QTimer::singleShot(0, [this] { pressTarget = dialog->progress().window(); });
    rig->WithBoard([this, block](sim::TargetBoard& board) {
      board.onCommand = [this, block](std::uint8_t command, std::uint16_t address) {
        QObject* target = pressTarget.load();
        if (command == 0x28 && address == block && target) test::PostEscape(target);
      };
    });
  }
  std::vector<std::string> Error(const char* text) const {
    return {std::string("ERROR !!\n ") + text, "Please redo from download operation"};
  }

  test::TempDir dir;
  std::unique_ptr<test::Rig> rig;
  std::unique_ptr<test::WindowOperator> op;
  std::unique_ptr<CWriterDlg> dialog;
  std::atomic<QObject*> pressTarget{nullptr};

 private:
  std::filesystem::path cwd_ = std::filesystem::current_path();
};

TEST_P(BlankCheckRig, BlankDevice) {
  BlankCheck();
  EXPECT_EQ(Reads(), 64u);
  EXPECT_EQ(op->Reports(), std::vector<std::string>{" Blank Check OK !!"});
  EXPECT_EQ(op->acknowledged[0].icon, kIconInformation);
}

TEST_P(BlankCheckRig, NonBlankBytesAreReportedAndNothingAfterThem) {
  struct Case {
    std::uint16_t address;
    std::uint8_t value;
    const char* text;
    std::size_t reads;
  };
  const Case cases[] = {
      {0xC000, 0x3C, "Blank Check Error\n  Address   : 0xC000\n  OTPmemory : 0x3C", 1},
      {0xC2FF, 0x7F, "Blank Check Error\n  Address   : 0xC2FF\n  OTPmemory : 0x7F", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    rig->WithBoard([&](sim::TargetBoard& board) {
      board.memory().fill(0xFF);
      board.memory()[c.address] = c.value;
      board.memory()[c.address + 1] = 0x00;
    });
    BlankCheck();
    EXPECT_EQ(op->Reports(), std::vector<std::string>{c.text});
    EXPECT_EQ(op->acknowledged[0].icon, kIconExclamation);
    EXPECT_EQ(Reads(), c.reads);
    EXPECT_TRUE(LinkOpen());
  }
}

TEST_P(BlankCheckRig, ShortAnswerYesThenNo) {
  AddFault("read-data@2:short=40");
  AddFault("read-data@5:short=1");
  op->yesNoAnswers = {true, false};
  BlankCheck();
  ASSERT_EQ(op->questions.size(), 2u);
  EXPECT_EQ(op->questions[0].text, "COMM error detected\nContinue?");
  EXPECT_EQ(op->questions[0].caption, "BlankChecking");
  std::vector<std::uint32_t> addresses;
  rig->WithBoard([&](sim::TargetBoard& board) { addresses = board.readAddresses; });
  EXPECT_EQ(addresses, (std::vector<std::uint32_t>{0xC000, 0xC100, 0xC100, 0xC200, 0xC300}));
  EXPECT_TRUE(op->acknowledged.empty());  // No ends without a report
  EXPECT_TRUE(LinkOpen());
}

TEST_P(BlankCheckRig, FailuresThatEndWithAnErrorReport) {
  struct Case {
    const char* fault;
    const char* text;
  };
  const Case cases[] = {
      {"read-data@1:badsum", " No.020 Sum error"},
      {"read-reply@1:byte=0x22", " No.020 Sum error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    AddFault(c.fault);
    BlankCheck();
    EXPECT_EQ(op->Reports(), Error(c.text));
    EXPECT_FALSE(LinkOpen());
    rig->WithBoard([](sim::TargetBoard& board) { board = sim::TargetBoard(); });
    Click(res::id::kDownload);
  }
}

TEST_P(BlankCheckRig, CancelBeforeTheFirstBlockAndBetweenBlocks) {
  // Pressed before the first block: the press waits in the queue when the operation starts.
  QTimer::singleShot(0, [this] { test::PostEscape(dialog->progress().window()); });
  BlankCheck();
  EXPECT_EQ(op->Reports(), std::vector<std::string>{"Blank Check Canceled"});
  EXPECT_EQ(Reads(), 0u);

  // Pressed while block 0xC400 is read: seen before the next block.
  PressWhileReading(0xC400);
  BlankCheck();
  EXPECT_EQ(op->Reports(), std::vector<std::string>{"Blank Check Canceled"});
  EXPECT_EQ(Reads(), 5u);
  EXPECT_TRUE(LinkOpen());
}

TEST_P(BlankCheckRig, PressDuringTheLastBlockIsDroppedByTheVerdict) {
  PressWhileReading(0xFF00);
  BlankCheck();
  EXPECT_EQ(Reads(), 64u);
  // The verdict came, and needed a press of its own.
  EXPECT_EQ(op->Reports(), std::vector<std::string>{" Blank Check OK !!"});
}

INSTANTIATE_TEST_SUITE_P(Lines, BlankCheckRig, ::testing::Values(RigKind::kVirtual, RigKind::kPty),
                         [](const ::testing::TestParamInfo<RigKind>& info) {
                           return info.param == RigKind::kVirtual ? "VirtualClock"
                                                                  : "PseudoTerminal";
                         });

}  // namespace
}  // namespace otp
