#include <gtest/gtest.h>

#include "core/ResultReporter.h"
#include "tests/support/FakeView.h"
#include "tests/support/TestClock.h"

namespace otp {
namespace {

class ReportTest : public ::testing::Test {
 protected:
  ReportTest() {
    clock.onSleep = [this] { view.Operate(); };
  }
  ResultReporter Reporter(Language language = Language::kEnglish) {
    return ResultReporter(view, clock, language, [this] { ++returnsToIdle; });
  }

  test::TestClock clock;
  test::FakeView view;
  int returnsToIdle = 0;
};

struct KindCase {
  ResultKind kind;
  unsigned icon;
  const char* prefix;
  bool secondStage;
};

TEST_F(ReportTest, KindsGiveIconPrefixAndSecondStage) {
  const KindCase cases[] = {
      {0, kIconInformation, "", false},
      {1, kIconExclamation, "", false},
      {2, kIconStop, "ERROR !!\n ", true},
      {3, kIconStop, "ERROR !!\n ", true},
      {7, 0x1234, "", false},  // any other kind leaves the icon alone
  };
  for (const KindCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.kind));
    view = test::FakeView();
    view.icon = 0x1234;
    returnsToIdle = 0;
    Reporter().ReportResult(203, c.kind, kNoVerdict);
    const std::string text = std::string(c.prefix) + " No.003 Timeout error";
    ASSERT_FALSE(view.acknowledged.empty());
    EXPECT_EQ(view.acknowledged[0].status, text);
    EXPECT_EQ(view.acknowledged[0].icon, c.icon);
    EXPECT_EQ(view.buttonText, "Ok");
    if (c.secondStage) {
      ASSERT_EQ(view.acknowledged.size(), 2u);
      EXPECT_EQ(view.acknowledged[1].status, "Please redo from download operation");
      EXPECT_EQ(view.acknowledged[1].icon, kIconStop);  // the icon stays
      EXPECT_EQ(returnsToIdle, 1);
    } else {
      EXPECT_EQ(view.acknowledged.size(), 1u);
      EXPECT_EQ(returnsToIdle, 0);
    }
  }
}

TEST_F(ReportTest, VerdictSuffixes) {
  struct Case {
    unsigned id;
    Verdict verdict;
    Language language;
    const char* text;
  };
  const Case cases[] = {
      {307, kVerdictOk, Language::kEnglish, " Download  OK !!"},
      {305, kVerdictOk, Language::kEnglish, " Read+Compare  OK !!"},
      {305, kVerdictOk, Language::kJapanese, " Read+Compare OK !!"},
      {306, kVerdictNg, Language::kEnglish, " Program+Verify NG !!"},
      {304, kNoVerdict, Language::kEnglish, " Blank Check"},
      {304, 9, Language::kEnglish, " Blank Check"},
      {999, kVerdictOk, Language::kEnglish, " OK !!"},  // unknown id: empty text, suffix kept
  };
  for (const Case& c : cases) {
    view = test::FakeView();
    Reporter(c.language).ReportResult(c.id, kInformation, c.verdict);
    ASSERT_EQ(view.acknowledged.size(), 1u);
    EXPECT_EQ(view.acknowledged[0].status, c.text);
  }
}

TEST_F(ReportTest, UnknownIdAsErrorStillTakesThePrefix) {
  Reporter().ReportResult(999, kError, kVerdictNg);
  ASSERT_EQ(view.acknowledged.size(), 2u);
  EXPECT_EQ(view.acknowledged[0].status, "ERROR !!\n  NG !!");
}

TEST_F(ReportTest, JapaneseSecondStage) {
  Reporter(Language::kJapanese).ReportResult(220, kError, kNoVerdict);
  ASSERT_EQ(view.acknowledged.size(), 2u);
  EXPECT_EQ(view.acknowledged[0].status, "ERROR !!\n  No.006 COMポートがオープンできません");
  EXPECT_EQ(view.acknowledged[1].status, "ダウンロード操作から実行し直してください");
}

TEST_F(ReportTest, MessageTakesNoSuffix) {
  Reporter().ReportMessage("Blank Check Canceled", kWarning);
  ASSERT_EQ(view.acknowledged.size(), 1u);
  EXPECT_EQ(view.acknowledged[0].status, "Blank Check Canceled");
  EXPECT_EQ(view.acknowledged[0].icon, kIconExclamation);
}

TEST_F(ReportTest, PressMadeBeforeTheReportIsDropped) {
  view.cancelPressed = true;  // pressed during the operation, not yet seen
  Reporter().ReportMessage("done", kInformation);
  // The stale press did not end the wait: the operator had to press once more.
  ASSERT_EQ(view.acknowledged.size(), 1u);
  EXPECT_GE(clock.sleeps, 1);
}

TEST_F(ReportTest, WaitPollsEveryTenMillisecondsWithoutLimit) {
  int polls = 0;
  view.autoAcknowledge = false;
  clock.onSleep = [&] {
    ++polls;
    if (polls == 500) view.cancelPressed = true;  // five seconds later
  };
  Reporter().ReportMessage("done", kInformation);
  EXPECT_EQ(polls, 500);
  EXPECT_EQ(clock.nowUs(), 500 * 10'000);
}

}  // namespace
}  // namespace otp
