#include <gtest/gtest.h>

#include <QElapsedTimer>

#include "core/ResultReporter.h"
#include "tests/support/OpenFiles.h"
#include "tests/support/WindowFixture.h"

namespace otp {
namespace {

class ReportWindowTest : public test::WindowFixture {
 protected:
  void Report(unsigned id, ResultKind kind, Verdict verdict) {
    ASSERT_TRUE(dialog->progress().Create());
    dialog->reporter().ReportResult(id, kind, verdict);
    dialog->progress().DestroyWindow();
  }
};

TEST_F(ReportWindowTest, ErrorNeedsTwoPressesThenReturnsToIdle) {
  Open();
  Download();
  Report(220, kError, kNoVerdict);
  ASSERT_EQ(op.acknowledged.size(), 2u);
  EXPECT_EQ(op.acknowledged[0].text, "ERROR !!\n  No.006 Unable to open COM port.");
  EXPECT_EQ(op.acknowledged[0].icon, kIconStop);
  EXPECT_EQ(op.acknowledged[1].text, "Please redo from download operation");
  EXPECT_EQ(op.acknowledged[1].icon, kIconStop);
  EXPECT_FALSE(dialog->writer().link.IsOpen());
  EXPECT_FALSE(line.isOpen);
  EXPECT_EQ(ButtonSet(), "11000");  // only Download and the COM list
  EXPECT_TRUE(dialog->isEnabled());
}

TEST_F(ReportWindowTest, ResultsAndMessagesNeedOnePressAndLeaveTheLinkOpen) {
  Open();
  Download();
  Report(306, kInformation, kVerdictNg);
  ASSERT_TRUE(dialog->progress().Create());
  dialog->reporter().ReportMessage("Blank Check Error\n  Address   : 0xC000\n  OTPmemory : 0x12",
                                   kWarning);
  dialog->progress().DestroyWindow();
  ASSERT_EQ(op.acknowledged.size(), 2u);
  EXPECT_EQ(op.acknowledged[0].text, " Program+Verify NG !!");
  EXPECT_EQ(op.acknowledged[0].icon, kIconInformation);
  EXPECT_EQ(op.acknowledged[1].icon, kIconExclamation);
  EXPECT_TRUE(dialog->writer().link.IsOpen());
  EXPECT_EQ(ButtonSet(), "11111");
}

TEST_F(ReportWindowTest, AnyWayOfDismissingAcknowledges) {
  Open();
  for (const auto press :
       {test::WindowOperator::Press::kEnter, test::WindowOperator::Press::kEscape,
        test::WindowOperator::Press::kCloseBox}) {
    op.press = press;
    op.acknowledged.clear();
    Report(307, kInformation, kVerdictOk);
    ASSERT_EQ(op.acknowledged.size(), 1u);
    EXPECT_EQ(op.acknowledged[0].text, " Download  OK !!");
  }
}

TEST_F(ReportWindowTest, PressMadeBeforeTheReportIsDropped) {
  Open();
  ASSERT_TRUE(dialog->progress().Create());
  // A press still in the queue when the report begins.
  QCoreApplication::postEvent(dialog->progress().window(),
                              new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
  op.autoAcknowledge = false;
  int sleeps = 0;
  op.onSleep = [&] {
    if (++sleeps == 20) {
      op.autoAcknowledge = true;
    }
  };
  dialog->reporter().ReportResult(304, kInformation, kVerdictOk);
  dialog->progress().DestroyWindow();
  EXPECT_GE(sleeps, 20);  // it waited for the fresh press
  EXPECT_EQ(op.Reports(), std::vector<std::string>{" Blank Check OK !!"});
}

TEST_F(ReportWindowTest, JapaneseTexts) {
  Open(Language::kJapanese);
  Report(305, kInformation, kVerdictOk);
  Report(203, kError, kNoVerdict);
  EXPECT_EQ(op.Reports(), (std::vector<std::string>{" Read+Compare OK !!",
                                                    "ERROR !!\n  No.003 タイムアウトエラー",
                                                    "ダウンロード操作から実行し直してください"}));
}

TEST(ReportWait, DoesNotSpin) {
  QWidget owner;
  owner.show();
  CProgressDlg progress(0, Language::kEnglish, &owner);
  test::TestClock clock(false);  // real time
  ResultReporter reporter(progress, clock, Language::kEnglish, nullptr);
  ASSERT_TRUE(progress.Create());
  QTimer::singleShot(1500, [&] { progress.OnCancel(); });
  QElapsedTimer wall;
  wall.start();
  const double cpuBefore = test::CpuSeconds();
  reporter.ReportMessage("waiting", kInformation);
  const double cpu = test::CpuSeconds() - cpuBefore;
  const double seconds = wall.elapsed() / 1000.0;
  progress.DestroyWindow();
  EXPECT_GE(seconds, 1.4);
  // Polling every 10 ms costs a small fraction of one core (bench_report_wait measures
  // it); a spinning wait costs all of it, whatever the sanitizers.
  EXPECT_LT(cpu / seconds, 0.5) << "CPU " << cpu << " s in " << seconds << " s";
}

}  // namespace
}  // namespace otp
