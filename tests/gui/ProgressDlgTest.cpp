#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest/QTest>

#include "core/Report.h"
#include "ui/CProgressDlg.h"

namespace otp {
namespace {

class ProgressDlgTest : public ::testing::Test {
 protected:
  ProgressDlgTest() { owner.show(); }

  QPushButton* Button(int id) const {
    return progress.window()->findChild<QPushButton*>(QString::number(id));
  }
  QProgressBar* Bar() const { return progress.window()->findChild<QProgressBar*>("1003"); }
  QLabel* Status() const { return progress.window()->findChild<QLabel*>("1005"); }
  QLabel* Icon() const { return progress.window()->findChild<QLabel*>("1027"); }

  QWidget owner;
  CProgressDlg progress{0, Language::kEnglish, &owner};
};

TEST_F(ProgressDlgTest, WindowFromTheTemplate) {
  ASSERT_TRUE(progress.Create());
  QWidget* window = progress.window();
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowTitle(), "OTP Writer");  // caption 104 until the operation sets one
  EXPECT_EQ(Button(2)->text(), "Cancel");
  EXPECT_TRUE(Button(2)->isDefault());
  EXPECT_FALSE(Button(1029)->isVisible());
  EXPECT_EQ(Button(1029)->text(), "Continue");
  EXPECT_EQ(Status()->text(), "");
  EXPECT_TRUE(Icon()->pixmap().isNull());
  progress.SetWindowText("BlankCheck");
  EXPECT_EQ(window->windowTitle(), "BlankCheck");
  // The status has room for four lines.
  const int line = Status()->fontMetrics().lineSpacing();
  EXPECT_GE(Status()->height(), 4 * line);
  progress.SetStatus("one\ntwo\nthree");
  EXPECT_EQ(Status()->text(), "one\ntwo\nthree");
  // Continue appears and goes at its own place.
  const QRect place = Button(1029)->geometry();
  progress.ShowContinueButton(true);
  EXPECT_TRUE(Button(1029)->isVisible());
  EXPECT_EQ(Button(1029)->geometry(), place);
  progress.ShowContinueButton(false);
  EXPECT_FALSE(Button(1029)->isVisible());
  progress.ShowContinueButton(true);
  progress.DestroyWindow();
  ASSERT_TRUE(progress.Create());
  EXPECT_FALSE(Button(1029)->isVisible());  // a new window starts with it hidden
}

TEST_F(ProgressDlgTest, OpensCentredOnItsOwner) {
  owner.setGeometry(300, 200, 500, 300);
  ASSERT_TRUE(progress.Create());
  const QPoint centre = progress.window()->geometry().center();
  EXPECT_NEAR(centre.x(), owner.geometry().center().x(), 2);
  EXPECT_NEAR(centre.y(), owner.geometry().center().y(), 2);
}

TEST_F(ProgressDlgTest, OwnerIsDisabledWhileTheWindowExists) {
  ASSERT_TRUE(progress.Create());
  EXPECT_FALSE(owner.isEnabled());
  EXPECT_TRUE(progress.window()->isEnabled());
  progress.DestroyWindow();
  EXPECT_TRUE(owner.isEnabled());
  EXPECT_EQ(progress.window(), nullptr);

  // An owner that was disabled already stays disabled.
  owner.setEnabled(false);
  ASSERT_TRUE(progress.Create());
  EXPECT_FALSE(progress.ownerDisabled());
  progress.DestroyWindow();
  EXPECT_FALSE(owner.isEnabled());
  owner.setEnabled(true);

  // A parent names its top-level window as the owner.
  QWidget other;
  auto* child = new QWidget(&other);
  other.show();
  ASSERT_TRUE(progress.Create(child));
  EXPECT_FALSE(other.isEnabled());
  EXPECT_TRUE(owner.isEnabled());
  progress.DestroyWindow();
  EXPECT_TRUE(other.isEnabled());
}

TEST_F(ProgressDlgTest, FailedCreationEnablesTheOwnerAgain) {
  class Failing : public CProgressDlg {
   public:
    using CProgressDlg::CProgressDlg;

   protected:
    ProgressWindow* CreateWindowObject() override { return nullptr; }
  };
  Failing failing(0, Language::kEnglish, &owner);
  EXPECT_FALSE(failing.Create());
  EXPECT_TRUE(owner.isEnabled());
  EXPECT_EQ(failing.window(), nullptr);
  // Without a window every operation is harmless.
  failing.SetStatus("x");
  failing.SetStatusIcon(kIconStop);
  failing.StepIt();
  EXPECT_EQ(failing.CheckCancelButton(), 0);
  EXPECT_FALSE(failing.DestroyWindow());
}

TEST_F(ProgressDlgTest, EveryWayOfDismissingOnlySetsTheCancelFlag) {
  ASSERT_TRUE(progress.Create());
  QWidget* window = progress.window();
  const std::function<void()> presses[] = {
      [&] { QTest::mouseClick(Button(2), Qt::LeftButton); },
      [&] { QTest::keyClick(window, Qt::Key_Return); },
      [&] { QTest::keyClick(window, Qt::Key_Escape); },
      [&] { window->close(); },
  };
  for (const auto& press : presses) {
    EXPECT_EQ(progress.CheckCancelButton(), 0);
    press();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(progress.window(), window);
    EXPECT_EQ(progress.CheckCancelButton(), 1);
  }
}

TEST_F(ProgressDlgTest, FlagsAreClearedWhenReadAndCountPressesOnce) {
  EXPECT_EQ(progress.CheckCancelButton(), 0);
  EXPECT_EQ(progress.CheckContinueButton(), 0);
  ASSERT_TRUE(progress.Create());
  progress.ShowContinueButton(true);
  QTest::mouseClick(Button(2), Qt::LeftButton);
  QTest::mouseClick(Button(2), Qt::LeftButton);
  QTest::mouseClick(Button(1029), Qt::LeftButton);
  QTest::mouseClick(Button(1029), Qt::LeftButton);
  EXPECT_EQ(progress.CheckCancelButton(), 1);
  EXPECT_EQ(progress.CheckCancelButton(), 0);
  EXPECT_EQ(progress.CheckContinueButton(), 1);
  EXPECT_EQ(progress.CheckContinueButton(), 0);
}

TEST_F(ProgressDlgTest, PressesAreSeenWhenTheQueueIsDrained) {
  ASSERT_TRUE(progress.Create());
  // A press still waiting in the queue counts at the next check.
  QCoreApplication::postEvent(progress.window(),
                              new QKeyEvent(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier));
  EXPECT_FALSE(progress.cancelPending());
  EXPECT_EQ(progress.CheckCancelButton(), 1);
}

TEST_F(ProgressDlgTest, FlagsBoundsAndStepSurviveTheWindow) {
  ASSERT_TRUE(progress.Create());
  progress.SetRange(0, 64);
  progress.SetStep(4);
  QTest::mouseClick(Button(2), Qt::LeftButton);
  progress.DestroyWindow();
  ASSERT_TRUE(progress.Create());
  EXPECT_EQ(Bar()->maximum(), 64);
  EXPECT_EQ(Bar()->value(), 0);
  progress.StepIt();
  EXPECT_EQ(Bar()->value(), 4);
  EXPECT_EQ(progress.CheckCancelButton(), 1);  // the press of the earlier window
}

TEST_F(ProgressDlgTest, Bar) {
  ASSERT_TRUE(progress.Create());
  progress.SetRange(0, 64);
  progress.SetStep(1);
  progress.SetPos(0);
  for (int i = 0; i < 64; ++i)
    progress.StepIt();
  EXPECT_EQ(Bar()->value(), 64);
  EXPECT_EQ(Bar()->maximum(), 64);
  // Each bound goes to the bar as a 16-bit value.
  progress.SetRange(0, 0x10000 + 40);
  EXPECT_EQ(Bar()->maximum(), 40);
  progress.SetPos(100);  // kept inside the range
  EXPECT_EQ(Bar()->value(), 40);
}

TEST_F(ProgressDlgTest, StockIcons) {
  ASSERT_TRUE(progress.Create());
  for (const unsigned icon : {kIconInformation, kIconExclamation, kIconStop}) {
    progress.SetStatusIcon(icon);
    EXPECT_FALSE(Icon()->pixmap().isNull());
  }
  progress.SetStatusIcon(kIconNone);
  EXPECT_TRUE(Icon()->pixmap().isNull());
  progress.SetStatusIcon(kIconExclamation);
  EXPECT_FALSE(Icon()->pixmap().isNull());
}

TEST_F(ProgressDlgTest, PumpNeverWaits) {
  ASSERT_TRUE(progress.Create());
  QTimer later;
  later.setSingleShot(true);
  later.start(2000);  // something that will happen, but not now
  QElapsedTimer timer;
  timer.start();
  for (int i = 0; i < 100; ++i)
    progress.PumpMessages();
  EXPECT_LT(timer.elapsed(), 1000);
}

}  // namespace
}  // namespace otp
