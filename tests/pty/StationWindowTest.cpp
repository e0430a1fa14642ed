#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTimer>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "app/StationWindow.h"
#include "ops/Messages.h"
#include "ops/job/Job.h"
#include "sim/PtyBoard.h"
#include "store/ProductionStore.h"
#include "tests/support/Faults.h"
#include "tests/support/SRecords.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestStore.h"

namespace otp {
namespace {

using namespace std::chrono_literals;

// The station window on Qt's offscreen platform, against simulated boards on
// pseudo-terminals, its records in an SQLite store of its own.
class StationWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.Write("m_otp.150", std::string(100, 'm'));
    dir.Write("app.mhx",
              test::Record('1', 0xC000, {1, 2, 3}) + "\n" + test::Record('1', 0xD000, {4}) + "\n");
  }
  bool Boards(const std::vector<std::vector<const char*>>& faults, std::size_t missing = 0) {
    std::string ports = "[Ports]\n";
    for (std::size_t i = 0; i < faults.size() + missing; ++i) {
      if (i >= faults.size()) {
        // A port whose adapter is not there.
        ports += "COM" + std::to_string(i + 1) + "=" + (dir / "ttyGONE").string() + "\n";
        names.push_back("COM" + std::to_string(i + 1));
        continue;
      }
      boards.push_back(std::make_unique<sim::TargetBoard>());
      for (const char* fault : faults[i])
        boards.back()->AddFault(test::Fault(fault));
      const std::string link = (dir / ("tty" + std::to_string(i))).string();
      ptys.push_back(std::make_unique<sim::PtyBoard>(*boards.back(), sim::PtyBoard::Options{link}));
      if (!ptys.back()->Start(nullptr)) return false;
      ports += "COM" + std::to_string(i + 1) + "=" + link + "\n";
      names.push_back("COM" + std::to_string(i + 1));
    }
    dir.Write("DATAFILE.TXT", ports + "[Recent]\nCPU=1\nRATE=2\nCOM=1\nWrite File=app.mhx\n");
    return true;
  }
  std::string MakeJobFile(bool confirm, const std::string& store = {}) {
    JobRequest request;
    request.store = store;
    request.name = "BRAKE";
    request.model = &ChipTable()[1];
    request.rate = 2;
    request.file = (dir / "app.mhx").string();
    request.serial = "0xFFF0:be32";
    request.serialStart = 100;
    request.confirm = confirm;
    JobMade made = MakeJob(request, Language::kEnglish);
    EXPECT_EQ(made.problem, "");
    dir.Write("brake.otpjob", JobText(made.job));
    checksum = made.job.ShortChecksum();
    return (dir / "brake.otpjob").string();
  }
  void Open(const std::string& job, Language language = Language::kEnglish) {
    StationArguments choices;
    choices.ports = names;
    choices.db = (dir / "production.db").string();
    choices.job = job;
    Open(choices, language);
  }
  void Open(StationArguments choices, Language language = Language::kEnglish) {
    WriterEnvironment environment;
    environment.programDir = dir.path().string();
    environment.language = language;
    window = std::make_unique<StationWindow>(choices, environment);
    window->resize(1280, 800);
    window->show();
    ASSERT_TRUE(WaitFor([&] { return window->ready() || !window->problem().empty(); }))
        << window->problem();
  }
  static bool WaitFor(const std::function<bool()>& done, std::chrono::seconds limit = 60s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      QApplication::processEvents(QEventLoop::AllEvents, 20);
      std::this_thread::sleep_for(2ms);
    }
    QApplication::processEvents();
    return true;
  }
  // What a screen reader reads of a tile's part.
  static std::string Read(ui::StationTile* tile, const char* part, QAccessible::Text what) {
    QWidget* widget = tile->findChild<QWidget*>(part);
    QAccessibleInterface* face = QAccessible::queryAccessibleInterface(widget);
    return face ? face->text(what).toStdString() : std::string();
  }
  bool RoundEnded() {
    return WaitFor([&] { return !window->controller()->busy(); }) && WaitFor([&] {
             for (std::size_t i = 0; i < window->tiles(); ++i) {
               if (window->Tile(i)->shown().look != ui::TileState::Look::kEnded) return false;
             }
             return true;
           });
  }
  // With OTP_SCREENSHOTS naming a folder, the window as it is now, as `name`.png there.
  void Screenshot(const std::string& name) {
    const char* folder = std::getenv("OTP_SCREENSHOTS");
    if (!folder || !*folder) return;
    QApplication::processEvents();
    window->grab().save(QString::fromStdString(std::string(folder) + "/" + name + ".png"));
  }
  std::vector<Attempt> Records() {
    StoreError error;
    ProductionStore::Options reading;
    reading.access = ProductionStore::Access::kRead;
    auto store = ProductionStore::Open((dir / "production.db").string(), error, reading);
    EXPECT_TRUE(store) << error;
    return store ? *store->Attempts({}, error) : std::vector<Attempt>{};
  }

  test::TempDir dir;
  std::vector<std::unique_ptr<sim::TargetBoard>> boards;
  std::vector<std::unique_ptr<sim::PtyBoard>> ptys;
  std::vector<std::string> names;
  std::string checksum;
  std::unique_ptr<StationWindow> window;
};

// Four boards, one failing at its second program block: the verdicts and serial numbers
// in port order on the tiles (and to screen readers), the counters, the records.
TEST_F(StationWindowTest, FourBoardsOneRound) {
  if (!Boards({{}, {}, {"program-status@2:byte=0x04"}, {}})) GTEST_SKIP() << "no pseudo-terminal";
  Open(MakeJobFile(false));
  ASSERT_TRUE(window->ready()) << window->problem();
  // A foot switch that types Space, wherever the focus is when the station opens.
  QWidget* focus = window->focusWidget();
  QKeyEvent space(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, " ");
  QApplication::sendEvent(focus ? focus : window.get(), &space);
  ASSERT_TRUE(RoundEnded());
  const char* verdicts[] = {"\u2714 PASS", "\u2714 PASS", "\u2716 FAIL", "\u2714 PASS"};
  const char* serials[] = {"serial 100", "serial 101", "serial 102 (spoiled)", "serial 103"};
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    ui::StationTile* tile = window->Tile(i);
    EXPECT_EQ(Read(tile, "verdict", QAccessible::Name), names[i] + " verdict");
    EXPECT_EQ(Read(tile, "verdict", QAccessible::Description), verdicts[i]);
    EXPECT_EQ(Read(tile, "serial", QAccessible::Description).substr(0, std::strlen(serials[i])),
              serials[i]);
    EXPECT_EQ(Read(tile, "progress", QAccessible::Name), names[i] + " progress");
    // Its parts lie one below the other, none under its neighbour.
    int below = 0;
    for (const char* part : {"port", "verdict", "serial", "progress", "blocks", "report"}) {
      const QRect at = tile->findChild<QWidget*>(part)->geometry();
      EXPECT_GE(at.top(), below) << part;
      EXPECT_LE(at.bottom(), tile->height()) << part;
      below = at.bottom() + 1;
    }
  }
  EXPECT_NE(Read(window->Tile(2), "report", QAccessible::Description).find("No.018 Device error"),
            std::string::npos);
  const QString counters = window->findChild<QLabel*>("counters")->text();
  EXPECT_TRUE(counters.contains(QRegularExpression(">Passed<.*?<td[^>]*>3<")))
      << counters.toStdString();
  const auto records = Records();
  ASSERT_EQ(records.size(), 4u);
  for (const Attempt& a : records) {
    EXPECT_EQ(a.job, "BRAKE");
    EXPECT_EQ(a.jobSum, checksum);
    EXPECT_EQ(a.outcome, a.serial == 102u ? UnitOutcome::kFail : UnitOutcome::kPass) << *a.serial;
  }
  // The Report tab: the run's units, the failure in the block of its second program block
  // (D000), painted in the report's colours.
  auto* report = window->findChild<ui::ReportView*>("report");
  ASSERT_NE(report, nullptr);
  ASSERT_TRUE(WaitFor([&] { return report->figures().units == 4; }, 5s));
  const BatchFigures& figures = report->figures();
  EXPECT_EQ(figures.counts.passed(), 3);
  ASSERT_EQ(figures.reasons.size(), 1u);
  EXPECT_EQ(figures.reasons[0].id, 236u);  // No.018 Device error
  std::array<int, 64> blocks{};
  blocks[16] = 1;
  EXPECT_EQ(figures.blocks, blocks);
  window->findChild<QTabWidget*>("tabs")->setCurrentWidget(report);
  Screenshot("station-report");
  const QImage shown = report->grab().toImage();
  int failRed = 0, passGreen = 0;
  for (int y = 0; y < shown.height(); ++y) {
    for (int x = 0; x < shown.width(); ++x) {
      const QRgb pixel = shown.pixel(x, y);
      failRed += pixel == qRgb(0xC6, 0x28, 0x28);
      passGreen += pixel == qRgb(0x2E, 0x8B, 0x47);
    }
  }
  EXPECT_GT(failRed, 100);  // the failed part of the bar and its legend
  EXPECT_GT(passGreen, failRed);
}

// Every outcome on its tile, in each language, with what to do with the board: a first
// round gives PASS, FAIL, BOARD GONE (silent in the plan: nothing written), WRONG PART
// (other data where the image goes) and PORT PROBLEM (no adapter: no unit counted); the
// same boards again give ALREADY PROGRAMMED for the good one, and the yield, over the
// parts written, counts no failure for it.
class StationOutcomesTest : public StationWindowTest,
                            public ::testing::WithParamInterface<Language> {};

TEST_P(StationOutcomesTest, EveryOutcomeOnItsTile) {
  if (!Boards({{}, {"program-status@2:byte=0x04"}, {"read-reply@10:silent"}, {}}, 1))
    GTEST_SKIP() << "no pseudo-terminal";
  ptys[3]->WithBoard([](sim::TargetBoard& b) {
    b.memory()[0xC000] = 0x00;  // the image's 0x01 can never be written there
    return 0;
  });
  const Language language = GetParam();
  const std::string suffix = language == Language::kJapanese ? "-ja" : "";
  Open(MakeJobFile(false), language);
  struct Round {
    std::vector<UnitOutcome> outcomes;
    int passed, failed, notWritten;
  };
  const Round rounds[] = {
      {{UnitOutcome::kPass, UnitOutcome::kFail, UnitOutcome::kBoardGone, UnitOutcome::kWrongPart,
        UnitOutcome::kPortProblem},
       1,
       1,
       2},
      {{UnitOutcome::kAlreadyProgrammed, UnitOutcome::kWrongPart, UnitOutcome::kPass,
        UnitOutcome::kWrongPart, UnitOutcome::kPortProblem},
       2,
       1,
       5},
  };
  for (std::size_t r = 0; r < std::size(rounds); ++r) {
    SCOPED_TRACE(r);
    window->OnStart();
    ASSERT_TRUE(RoundEnded());
    for (std::size_t i = 0; i < rounds[r].outcomes.size(); ++i) {
      SCOPED_TRACE(i);
      const ui::TileState shown = window->Tile(i)->shown();
      EXPECT_EQ(shown.outcome, rounds[r].outcomes[i]);
      EXPECT_EQ(shown.instruction, OutcomeInstruction(rounds[r].outcomes[i], language));
      EXPECT_EQ(Read(window->Tile(i), "instruction", QAccessible::Description), shown.instruction);
    }
    const Counters counters = window->controller()->Figures().run;
    EXPECT_EQ(counters.passed(), rounds[r].passed);
    EXPECT_EQ(counters.failed(), rounds[r].failed);
    EXPECT_EQ(counters.total() - counters.units.written(), rounds[r].notWritten);
    // The counters add up to the total.
    EXPECT_EQ(counters.passed() + counters.failed() + rounds[r].notWritten, counters.total());
    Screenshot("station-outcomes-" + std::to_string(r + 1) + suffix);
  }
  // The port problem says the system's reason; it is recorded, and counted as no unit.
  EXPECT_NE(window->Tile(4)->shown().report.find(std::strerror(ENOENT)), std::string::npos)
      << window->Tile(4)->shown().report;
  std::map<UnitOutcome, int> recorded;
  for (const Attempt& a : Records())
    ++recorded[a.outcome];
  EXPECT_EQ(recorded, (std::map<UnitOutcome, int>{{UnitOutcome::kPass, 2},
                                                  {UnitOutcome::kFail, 1},
                                                  {UnitOutcome::kBoardGone, 1},
                                                  {UnitOutcome::kWrongPart, 3},
                                                  {UnitOutcome::kAlreadyProgrammed, 1},
                                                  {UnitOutcome::kPortProblem, 2}}));
  EXPECT_EQ(window->controller()->Figures().today.units(), 8);
}

// Stop in the middle of a round: the units stop between blocks, are recorded as
// interrupted, and their numbers released (none had a program block).
TEST_P(StationOutcomesTest, StopInTheMiddleOfARound) {
  if (!Boards({{"read-data@8:delay=4000"}, {"read-data@8:delay=4000"}}))
    GTEST_SKIP() << "no pseudo-terminal";
  Open(MakeJobFile(false), GetParam());
  window->OnStart();
  ASSERT_TRUE(WaitFor([&] {
    for (auto& pty : ptys) {
      if (pty->WithBoard([](sim::TargetBoard& b) { return b.readAddresses.size(); }) < 5)
        return false;
    }
    return true;
  }));
  window->findChild<QPushButton*>("stop")->click();
  ASSERT_TRUE(RoundEnded());
  const auto records = Records();
  ASSERT_EQ(records.size(), 2u);
  for (const Attempt& a : records) {
    EXPECT_EQ(a.outcome, UnitOutcome::kStopped);
    EXPECT_EQ(a.serialState, SerialState::kReleased);
  }
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(window->Tile(i)->shown().outcome, UnitOutcome::kStopped);
    EXPECT_EQ(Read(window->Tile(i), "instruction", QAccessible::Description),
              OutcomeInstruction(UnitOutcome::kStopped, GetParam()));
  }
  for (auto& pty : ptys)
    EXPECT_TRUE(pty->WithBoard([](sim::TargetBoard& b) { return b.programAddresses.empty(); }));
  Screenshot(std::string("station-stopped") + (GetParam() == Language::kJapanese ? "-ja" : ""));
}

INSTANTIATE_TEST_SUITE_P(Languages, StationOutcomesTest,
                         ::testing::Values(Language::kEnglish, Language::kJapanese),
                         [](const auto& info) {
                           return info.param == Language::kJapanese ? "Japanese" : "English";
                         });

// A job that asks for it is confirmed by its short checksum: a wrong entry starts
// nothing, the right one starts the round.
TEST_F(StationWindowTest, TheOperatorConfirmsTheJob) {
  if (!Boards({{}})) GTEST_SKIP() << "no pseudo-terminal";
  Open(MakeJobFile(true));
  // The header does not show what the operator must type.
  EXPECT_EQ(window->findChild<QLabel*>("job")->text().toStdString().find(checksum),
            std::string::npos);
  for (const std::string& typed : {std::string("12345678"), checksum}) {
    SCOPED_TRACE(typed);
    QTimer::singleShot(50, [&] {
      QWidget* dialog = QApplication::activeModalWidget();
      ASSERT_TRUE(dialog && dialog->objectName() == "confirmJob");
      dialog->findChild<QLineEdit*>("checksum")->setText(QString::fromStdString(typed));
      dialog->findChild<QPushButton*>()->click();
    });
    window->OnStart();
    if (typed != checksum) {
      EXPECT_FALSE(window->controller()->busy());
      EXPECT_NE(window->findChild<QLabel*>("status")->text().toStdString().find(
                    "is not the checksum of the job BRAKE"),
                std::string::npos);
      EXPECT_EQ(ptys[0]->WithBoard([](sim::TargetBoard& b) { return b.handshakes; }), 0);
    }
  }
  ASSERT_TRUE(RoundEnded());
  EXPECT_EQ(window->Tile(0)->shown().outcome, UnitOutcome::kPass);
  EXPECT_NE(window->findChild<QLabel*>("job")->text().toStdString().find(checksum),
            std::string::npos);
}

// The station keeps its store: reopened without one named, it records where it recorded
// before and goes on with that store's numbers. A job whose counter lives in a store is
// refused against another, naming both; a lot takes no board once its parts have passed.
TEST_F(StationWindowTest, TheStoreItKeepsAJobBoundToItAndALot) {
  if (!Boards({{}, {}})) GTEST_SKIP() << "no pseudo-terminal";
  const std::string job = MakeJobFile(false);
  StationArguments choices;
  choices.ports = names;
  choices.db = (dir / "production.db").string();
  choices.job = job;
  choices.lot = "L-7";
  choices.quantity = 3;
  Open(choices);
  window->OnStart();
  ASSERT_TRUE(RoundEnded());
  window.reset();
  // Reopened without a store: the same one, its next numbers.
  choices.db.reset();
  auto fresh = [&] {
    for (auto& pty : ptys)
      pty->WithBoard([](sim::TargetBoard& b) {
        b.memory().fill(0xFF);
        return 0;
      });
  };
  fresh();
  Open(choices);
  EXPECT_EQ(window->controller()->storeLocation(),
            std::filesystem::canonical(dir / "production.db").string());
  window->OnStart();
  ASSERT_TRUE(WaitFor([&] {
    return window->Tile(0)->shown().look == ui::TileState::Look::kEnded &&
           !window->controller()->busy();
  }));
  EXPECT_EQ(window->Tile(0)->shown().outcome, UnitOutcome::kPass);
  EXPECT_EQ(window->Tile(1)->shown().look, ui::TileState::Look::kWaiting);
  EXPECT_EQ(window->Tile(1)->shown().state, "the lot L-7 is complete: no more boards");
  // The lot of three: one unit of the second round, the other port takes no board.
  std::vector<std::uint64_t> numbers;
  for (const Attempt& a : Records()) {
    EXPECT_EQ(a.lot, "L-7");
    if (a.outcome == UnitOutcome::kPass) numbers.push_back(*a.serial);
  }
  std::sort(numbers.begin(), numbers.end());
  EXPECT_EQ(numbers, (std::vector<std::uint64_t>{100, 101, 102}));
  fresh();
  window->OnStart();
  EXPECT_NE(window->findChild<QLabel*>("status")->text().toStdString().find("L-7 is complete"),
            std::string::npos)
      << window->findChild<QLabel*>("status")->text().toStdString();
  EXPECT_FALSE(window->controller()->busy());
  const std::string identity = [&] {
    StoreError error;
    auto store = ProductionStore::Open((dir / "production.db").string(), error);
    return store ? store->Identity() : std::string();
  }();
  window.reset();
  // A job bound to the first store, opened against another: refused, both named.
  choices.job = MakeJobFile(false, identity);
  choices.db = (dir / "other.db").string();
  choices.lot.clear();
  choices.quantity.reset();
  Open(choices);
  EXPECT_FALSE(window->ready());
  EXPECT_NE(window->problem().find("keeps its serial numbers in the store " + identity),
            std::string::npos)
      << window->problem();
}

// Closing the window while a unit burns asks first; on Yes the unit stops between blocks,
// is recorded, and then the window closes by itself.
TEST_F(StationWindowTest, ClosingWhileBurning) {
  if (!Boards({{"read-data@3:delay=1500"}})) GTEST_SKIP() << "no pseudo-terminal";
  Open(MakeJobFile(false));
  window->OnStart();
  ASSERT_TRUE(WaitFor([&] { return window->controller()->busy(); }));
  ASSERT_TRUE(WaitFor([&] {
    return ptys[0]->WithBoard([](sim::TargetBoard& b) { return b.readAddresses.size(); }) >= 2;
  }));
  QTimer::singleShot(100, [] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* ask = qobject_cast<QMessageBox*>(widget);
      if (ask && ask->objectName() == "closeWhileBurning") ask->button(QMessageBox::Yes)->click();
    }
  });
  window->close();
  ASSERT_TRUE(WaitFor([&] { return !window->isVisible(); }));
  EXPECT_FALSE(window->controller()->busy());
  const auto records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].outcome, UnitOutcome::kStopped);
}

// What the engine says of a start reaches the window in the engine's words: here a
// journal of a station that stopped, damaged on the disk, set aside and named.
TEST_F(StationWindowTest, TheStartsNotesInTheStatus) {
  if (!Boards({{}})) GTEST_SKIP() << "no pseudo-terminal";
  {
    StoreError error;
    ASSERT_TRUE(ProductionStore::Open((dir / "production.db").string(), error)) << error;
  }
  const auto journals = std::filesystem::canonical(dir.path()) / "production.db.journals";
  std::filesystem::create_directories(journals);
  Attempt unit;
  unit.unitId = "gone-1";
  unit.port = "COM1";
  std::string line = JournalLine(JournalStage::kEnded, unit);
  line[line.find("outcome=") + 8] ^= 0x20;  // a changed byte
  dir.Write(std::filesystem::relative(journals / "gone.journal", dir.path()).string(),
            JournalHeader() + line);
  Open(MakeJobFile(false));
  window->OnStart();
  ASSERT_TRUE(RoundEnded());
  const std::string status = window->findChild<QLabel*>("status")->text().toStdString();
  EXPECT_NE(status.find("gone.journal is damaged (line 2: its checksum does not match its text)"),
            std::string::npos)
      << status;
  EXPECT_TRUE(std::filesystem::exists(journals / "gone.journal.damaged"));
}

// A shared store given with its password in the URL: the window connects with it, but
// neither its labels nor the settings file that remembers the store hold the password.
TEST_F(StationWindowTest, ThePasswordOfItsStoreIsKeptNowhere) {
  test::TestStore store;
  if (!store.Make(true, dir)) GTEST_SKIP() << "no PostgreSQL server (OTP_TEST_POSTGRES)";
  if (!Boards({{}})) GTEST_SKIP() << "no pseudo-terminal";
  StationArguments choices;
  choices.ports = names;
  choices.db = store.location + "?pass%77ord=Qz8Kv-window";
  choices.job = MakeJobFile(false);
  Open(choices);
  window->OnStart();
  ASSERT_TRUE(RoundEnded());
  EXPECT_EQ(window->Tile(0)->shown().outcome, UnitOutcome::kPass);
  for (const QLabel* label : window->findChildren<QLabel*>())
    EXPECT_EQ(label->text().toStdString().find("Qz8Kv"), std::string::npos)
        << label->objectName().toStdString();
  window.reset();
  const std::string settings = test::TempDir::ReadFile(dir / "DATAFILE.TXT");
  EXPECT_NE(settings.find("Store=postgresql://"), std::string::npos) << settings;
  EXPECT_EQ(settings.find("Qz8Kv"), std::string::npos) << settings;
}

// The Auto start switch: each port burns the fresh boards put on it, on its own, until
// the switch is turned off.
TEST_F(StationWindowTest, TheAutoStartSwitch) {
  if (!Boards({{}, {}})) GTEST_SKIP() << "no pseudo-terminal";
  for (auto& pty : ptys)
    pty->WithBoard([](sim::TargetBoard& b) {
      b.SetFixture({true, 200'000, 0, 1, 200'000});
      return 0;
    });
  Open(MakeJobFile(false));
  auto* autoStart = window->findChild<QCheckBox*>("autoStart");
  autoStart->click();
  EXPECT_FALSE(window->findChild<QPushButton*>("start")->isEnabled());
  ASSERT_TRUE(WaitFor([&] { return window->controller()->Figures().run.passed() >= 4; }));
  Screenshot("station-auto-start");
  autoStart->click();
  ASSERT_TRUE(WaitFor([&] { return !window->controller()->busy(); }));
  // The boards put in as the switch went off stop between blocks.
  std::set<std::uint64_t> numbers;
  int passed = 0;
  for (const Attempt& a : Records()) {
    EXPECT_NE(a.outcome, UnitOutcome::kFail);
    passed += a.outcome == UnitOutcome::kPass ? 1 : 0;
    if (a.serialState == SerialState::kUsed) {
      EXPECT_TRUE(numbers.insert(*a.serial).second);
    }
  }
  EXPECT_GE(passed, 4);
  // Start comes back once the window hears that the run ended.
  EXPECT_TRUE(WaitFor([&] { return window->findChild<QPushButton*>("start")->isEnabled(); }, 5s));
}

// In Japanese every text the station shows is Japanese, the tiles' too.
TEST_F(StationWindowTest, JapaneseTexts) {
  if (!Boards({{}})) GTEST_SKIP() << "no pseudo-terminal";
  Open("", Language::kJapanese);
  EXPECT_EQ(window->windowTitle().toStdString(), "OTP Writer ステーション");
  EXPECT_EQ(window->findChild<QLabel*>("job")->text().toStdString(), "現在の選択");
  EXPECT_EQ(Read(window->Tile(0), "verdict", QAccessible::Description), "開始を押してください");
  EXPECT_EQ(Read(window->Tile(0), "verdict", QAccessible::Name), "COM1 判定");
  EXPECT_EQ(window->findChild<QPushButton*>("stop")->text().toStdString(), "停止");
}

}  // namespace
}  // namespace otp
