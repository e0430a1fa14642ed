#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "chip/ChipTable.h"
#include "core/Utf8Path.h"
#include "ops/Host.h"
#include "ops/Production.h"
#include "sim/TargetBoard.h"
#ifndef _WIN32
#include "tests/support/CommaLocale.h"
#endif
#include "tests/support/FakeLine.h"
#include "tests/support/FakeStore.h"
#include "tests/support/Faults.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestClock.h"
#include "tests/support/TestDisk.h"

namespace otp {
namespace {

// A face that shows nothing and keeps every unit's end.
class Recorder final : public RunObserver {
 public:
  class View final : public EngineView {
   public:
    void SetStatus(const std::string&) override {}
    void SetStatusIcon(unsigned) override {}
    void SetButtonText(const std::string&) override {}
    void SetRange(int, int) override {}
    void SetStep(int) override {}
    void SetPos(int) override {}
    void StepIt() override {}
    int CheckCancelButton() override { return 0; }
  };
  EngineView& ViewFor(std::size_t) override { return view_; }
  void OnUnitEnd(std::size_t, const UnitEnd& end) override {
    const std::lock_guard lock(mutex_);
    ends.push_back(end);
  }
  void OnLotComplete(std::size_t port) override {
    const std::lock_guard lock(mutex_);
    lotComplete.push_back(port);
  }
  void OnNoPlace(std::size_t port, const Lot&) override {
    const std::lock_guard lock(mutex_);
    noPlace.push_back(port);
  }
  std::vector<UnitEnd> ends;
  std::vector<std::size_t> lotComplete;
  std::vector<std::size_t> noPlace;

 private:
  View view_;
  std::mutex mutex_;
};

// A port factory that opens nothing and counts what it was asked.
class NoPorts final : public SerialPortFactory {
 public:
  std::unique_ptr<SerialPort> Open(const std::string&) override {
    ++opens;
    return nullptr;
  }
  std::string LastOpenError() const override { return "no such device"; }
  std::atomic<int> opens{0};
};

// A port factory whose ports open nothing, slowly, and whose round starts the last port's
// thread first: the port that asks first is not the first port.
class LastPortFirst final : public SerialPortFactory {
 public:
  std::unique_ptr<SerialPort> Open(const std::string&) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return nullptr;
  }
  std::string LastOpenError() const override { return "no such device"; }
  void RunOnThreads(const std::vector<std::function<void()>>& jobs,
                    const std::function<void()>&) override {
    std::vector<std::thread> threads;
    for (auto job = jobs.rbegin(); job != jobs.rend(); ++job) {
      threads.emplace_back(*job);
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    for (std::thread& thread : threads)
      thread.join();
  }
};

// The production run in this process on fakes: a board on a fake line on virtual time, a
// store in memory, the journal in a folder of the test's.
class ProductionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.Write("m_otp.150", std::string(100, 'm'));
    setup.moduleDir = dir.dir();
    setup.imageName = "app.mhx";
    setup.image.fill(0xFF);
    setup.image[0xC000] = 0x12;
    setup.station = "line-1";
    setup.ports = {PortTarget{"COM1", line.device(), &ChipTable()[1], 2}};
    SerialRuleError ruleError{};
    setup.rule = ParseSerialRule("0xFFF0:be32", ruleError);
  }
  // A run of a process of its own: its journal in the station's folder.
  struct Station {
    Station(ProductionTest& test, SerialPortFactory& ports)
        : journal(OpenJournal(test.journals, test.disk)),
          service(test.store.Opener(), Quick()),
          run(test.setup, service, *journal, ports, test.clock, face) {}
    // A journal of a new owner; a station without one cannot run, so the test ends here.
    static std::unique_ptr<Journal> OpenJournal(const std::filesystem::path& folder,
                                                test::TestDisk& disk) {
      std::string error;
      auto journal = Journal::Open(folder, Journal::NewOwner(), error, disk);
      if (!journal) {
        std::fprintf(stderr, "the station's journal cannot be opened: %s\n", error.c_str());
        std::abort();
      }
      return journal;
    }
    // A store opened again at once: the tests wait for nothing.
    static StoreService::Options Quick() {
      StoreService::Options options;
      options.firstPause = std::chrono::milliseconds(5);
      options.longestPause = std::chrono::milliseconds(40);
      return options;
    }
    std::unique_ptr<Journal> journal;
    StoreService service;
    Recorder face;
    ProductionRun run;
  };
  // Waits (for real: the store's thread runs in real time) until `done`.
  static bool WaitFor(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  std::size_t Recorded() {
    const std::lock_guard lock(store.mutex);
    return store.attempts.size();
  }
  // A journal of a process that is gone, as it left it.
  void DeadJournal(const std::string& owner, const std::vector<JournalEntry>& entries) {
    std::filesystem::create_directories(journals);
    std::ofstream out(journals / (owner + ".journal"), std::ios::binary);
    out << JournalHeader();
    for (const JournalEntry& entry : entries)
      out << JournalLine(entry.stage, entry.unit);
  }
  Attempt Unit(const std::string& id) const {
    Attempt unit;
    unit.unitId = id;
    unit.started = "2026-12-08T10:00:00Z";
    unit.station = setup.station;
    unit.port = "COM1";
    unit.counter = "serial";
    return unit;
  }
  void FreshPart() { board.memory().fill(0xFF); }

  test::TempDir dir;
  std::filesystem::path journals = dir / "journals";
  test::TestClock clock;
  test::TestDisk disk;
  sim::TargetBoard board;
  test::FakeLine line{clock, board};
  test::FakeStore store;
  RunSetup setup;
};

// A Stop asked before a round or auto start begins holds: no port is opened, and only the
// operator's ClearStop lets the next one start.
TEST_F(ProductionTest, AStopBeforeTheStartIsNeverUndone) {
  NoPorts ports;
  Station station(*this, ports);
  ASSERT_EQ(station.run.Start().problem, StartReport::Problem::kNone);
  station.run.Stop();
  station.run.AutoRun();
  EXPECT_EQ(ports.opens, 0);
  station.run.Round();
  EXPECT_EQ(ports.opens, 0);
  EXPECT_TRUE(station.face.ends.empty());
  EXPECT_TRUE(station.run.stopped());
  station.run.ClearStop();
  station.run.Round();
  EXPECT_EQ(ports.opens, 1);
  ASSERT_EQ(station.face.ends.size(), 1u);
  EXPECT_EQ(station.face.ends[0].result.verdict, UnitVerdict::kPortFailed);
}

// Killed between the reservation and the journal's line of it: the journal says the unit
// began, the store holds its number reserved for the unit. The next start settles the
// number from the store's row (released: the part never had it) and records the attempt
// with it; no later start finds it again.
TEST_F(ProductionTest, ANumberReservedJustBeforeAKillIsSettled) {
  Counter counter;
  bool made = false;
  StoreError error;
  ASSERT_TRUE(store.EnsureCounter("serial", 40, 1, counter, made, error));
  const Attempt unit = Unit("dead-1");
  ASSERT_EQ(store.Reserve(unit, 1000, "dead", error), 40u);
  DeadJournal("dead", {{JournalStage::kBegun, unit}});
  NoPorts ports;
  {
    Station station(*this, ports);
    const StartReport start = station.run.Start();
    ASSERT_EQ(start.problem, StartReport::Problem::kNone) << start.detail;
    ASSERT_EQ(start.replayed.size(), 1u);
    EXPECT_EQ(start.replayed[0].serial, 40u);
    EXPECT_EQ(start.replayed[0].serialState, SerialState::kReleased);
  }
  EXPECT_EQ((store.serials[{"serial", 40}].state), "released");
  ASSERT_EQ(store.attempts.size(), 1u);
  EXPECT_EQ(store.attempts[0].serial, 40u);
  Station again(*this, ports);
  EXPECT_TRUE(again.run.Start().replayed.empty());
}

// A journal whose unit the store refuses (its number was never reserved by its owner)
// stops no start: it is set aside under a new name, its good units recorded, and no
// later start replays it.
TEST_F(ProductionTest, AJournalTheStoreRefusesIsSetAside) {
  Attempt refused = Unit("dead-2");
  refused.serial = 2;
  refused.serialState = SerialState::kUsed;
  refused.outcome = UnitOutcome::kPass;
  Attempt good = Unit("dead-3");
  good.outcome = UnitOutcome::kFail;
  DeadJournal("dead", {{JournalStage::kEnded, refused}, {JournalStage::kEnded, good}});
  NoPorts ports;
  Station station(*this, ports);
  const StartReport start = station.run.Start();
  ASSERT_EQ(start.problem, StartReport::Problem::kNone) << start.detail;
  ASSERT_EQ(start.setAside.size(), 1u);
  EXPECT_EQ(start.setAside[0].units, 2u);
  EXPECT_NE(start.setAside[0].reason.find("number 2"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(journals / "dead.journal"));
  EXPECT_TRUE(std::filesystem::exists(start.setAside[0].aside));
  ASSERT_EQ(store.attempts.size(), 1u);
  EXPECT_EQ(store.attempts[0].unitId, "dead-3");
  std::vector<Journal::SetAside> aside;
  Journal::Peek(journals, nullptr, &aside);
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(aside[0].units.size(), 2u);
  Station later(*this, ports);
  const StartReport next = later.run.Start();
  EXPECT_TRUE(next.setAside.empty());
  EXPECT_TRUE(next.replayed.empty());
}

// A unit failed after its first program block while the store was away, so its record
// waited in the journal, and the line of its outcome was damaged on the disk (a bad
// sector, a torn write). The next start records nothing of that journal and never a
// pass: it sets the journal aside under a name no start reads, names its line, spoils
// every number its station held, and the next part is given another number.
TEST_F(ProductionTest, ADamagedJournalRepeatsNoNumber) {
  setup.blockSize = 4;
  board.AddFault(test::Fault("program-status@1:byte=0x04"));
  std::filesystem::path file;
  {
    Station first(*this, line);
    ASSERT_EQ(first.run.Start().problem, StartReport::Problem::kNone);
    {
      const std::lock_guard lock(store.mutex);
      store.away = true;
    }
    first.run.Round();
    ASSERT_EQ(first.face.ends.size(), 1u);
    EXPECT_EQ(first.face.ends[0].record.outcome, UnitOutcome::kFail);
    EXPECT_EQ(first.face.ends[0].record.serial, 1u);
    EXPECT_EQ(first.face.ends[0].place, RecordPlace::kJournal);
    file = journals / (first.journal->owner() + ".journal");
  }  // the store is away still: the journal stays, its numbers reserved
  std::string text = test::TempDir::ReadFile(file);
  const std::size_t outcome = text.rfind("outcome=fail");
  ASSERT_NE(outcome, std::string::npos) << text;
  text.replace(outcome, 12, "outcome=pass");
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
  {
    const std::lock_guard lock(store.mutex);
    store.away = false;
  }
  board.memory().fill(0xFF);
  board.ClearFaults();
  Station second(*this, line);
  const StartReport start = second.run.Start();
  ASSERT_EQ(start.problem, StartReport::Problem::kNone) << start.detail;
  ASSERT_EQ(start.damaged.size(), 1u);
  const StartReport::Damaged& damaged = start.damaged[0];
  EXPECT_EQ(damaged.damage.line, 5u);  // header, begun, reserved, programming, ended
  EXPECT_EQ(damaged.damage.why.why, LineDamage::Why::kChecksum);
  EXPECT_EQ(damaged.spoiled, (std::vector<std::uint64_t>{1, 2, 3, 4}));
  EXPECT_EQ(damaged.named, (std::set<std::pair<std::string, std::uint64_t>>{{"serial", 1}}));
  EXPECT_TRUE(start.replayed.empty());
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_TRUE(std::filesystem::exists(damaged.aside));
  EXPECT_NE(Utf8FromPath(damaged.aside).find(".journal.damaged"), std::string::npos);
  EXPECT_EQ(Recorded(), 0u);
  for (const std::uint64_t number : {1, 2, 3, 4})
    EXPECT_EQ(store.States()[number], "spoiled") << number;
  // The next part gets a number that no part can hold yet.
  second.run.Round();
  ASSERT_EQ(second.face.ends.size(), 1u);
  EXPECT_EQ(second.face.ends[0].record.outcome, UnitOutcome::kPass);
  EXPECT_EQ(second.face.ends[0].record.serial, 5u);
  // No later start finds it again, and log still sees it, set aside.
  Station third(*this, line);
  EXPECT_TRUE(third.run.Start().damaged.empty());
  std::vector<Journal::SetAside> aside;
  Journal::Peek(journals, nullptr, &aside);
  ASSERT_EQ(aside.size(), 1u);
  ASSERT_TRUE(aside[0].damage);
  EXPECT_EQ(aside[0].damage->line, 5u);
}

// A full disk: a unit whose journal write fails is recorded in the store directly; when
// the store is away too, the unit is said to be held by neither, kept in memory, and
// recorded once the store answers again.
TEST_F(ProductionTest, AJournalWriteThatFailsForLackOfSpace) {
  Station station(*this, line);
  std::atomic<bool> full = true;
  disk.takes = [&full](std::string_view line) { return !(full && line.rfind("ended ", 0) == 0); };
  ASSERT_EQ(station.run.Start().problem, StartReport::Problem::kNone);
  station.run.Round();
  ASSERT_EQ(station.face.ends.size(), 1u);
  EXPECT_EQ(station.face.ends[0].place, RecordPlace::kStored);
  ASSERT_EQ(station.face.ends[0].notes.size(), 1u);
  EXPECT_EQ(station.face.ends[0].notes[0].id, NoteId::kJournalWriteFailed);
  EXPECT_NE(NoteText(station.face.ends[0].notes[0], Language::kEnglish).find("space"),
            std::string::npos);
  ASSERT_EQ(Recorded(), 1u);
  EXPECT_EQ(store.attempts[0].serialState, SerialState::kUsed);

  FreshPart();
  {
    const std::lock_guard lock(store.mutex);
    store.away = true;
  }
  const ProductionRun::End away = station.run.Round();
  ASSERT_EQ(station.face.ends.size(), 2u);
  EXPECT_EQ(station.face.ends[1].place, RecordPlace::kNowhere);
  ASSERT_EQ(station.face.ends[1].notes.size(), 1u);
  EXPECT_EQ(station.face.ends[1].notes[0].id, NoteId::kNotRecorded);
  EXPECT_EQ(station.face.ends[1].record.outcome, UnitOutcome::kPass);  // from the block
  ASSERT_EQ(away.unsaved.size(), 1u);
  ASSERT_EQ(away.notes.size(), 1u);
  EXPECT_EQ(away.notes[0].id, NoteId::kRecordUnsaved);
  EXPECT_TRUE(away.waiting.empty());  // not said to wait in a journal that lacks it
  EXPECT_EQ(away.unsaved[0].serial, 2u);

  // Space again, and the store back: the unit reaches it by itself.
  full = false;
  {
    const std::lock_guard lock(store.mutex);
    store.away = false;
  }
  ASSERT_TRUE(WaitFor([&] { return Recorded() == 2; }));
  FreshPart();
  const ProductionRun::End back = station.run.Round();
  EXPECT_EQ(back.why, ProductionRun::End::Why::kDone);
  EXPECT_TRUE(back.unsaved.empty());
  ASSERT_EQ(Recorded(), 3u);
  EXPECT_EQ(store.attempts[1].serial, 2u);
  EXPECT_EQ(store.attempts[1].outcome, UnitOutcome::kPass);
  EXPECT_EQ((store.States()[2]), "used");
}

// A rule that cannot place its numbers in the image stops the run before any store or
// port is used, whoever prepared the run.
TEST_F(ProductionTest, ARuleThatCannotPlaceItsNumbersStartsNothing) {
  NoPorts ports;
  for (const char* rule : {"0xC000:le16", "0x0100:le32", "0xFFFE:ascii:19", "0xFFFFFFF0:le32"}) {
    SCOPED_TRACE(rule);
    SerialRuleError why{};
    setup.rule = ParseSerialRule(rule, why);
    ASSERT_TRUE(setup.rule);
    Station station(*this, ports);
    const StartReport start = station.run.Start();
    EXPECT_EQ(start.problem, StartReport::Problem::kSerialRule);
    EXPECT_NE(start.detail.find("serial number"), std::string::npos) << start.detail;
  }
  EXPECT_TRUE(store.counters.empty());
  EXPECT_EQ(ports.opens, 0);
}

// A counter that has given its last number below 2^63 starts no run: it is said to have
// no number left, not to give 0 next.
TEST_F(ProductionTest, ACounterThatRanOutStartsNothing) {
  store.counters["serial"] = Counter{"serial", 0, 1, 1, true};
  NoPorts ports;
  Station station(*this, ports);
  EXPECT_EQ(station.run.Start().problem, StartReport::Problem::kCounterFull);
}

// Another start settles the numbers of an owner only when it is gone for certain: its
// process ended on this computer, or it was not heard of for the grace time (the store's
// setting, else two minutes). An owner away for less keeps its numbers.
TEST_F(ProductionTest, LeasesAreSettledOnlyWhenTheirOwnerIsGone) {
  struct Case {
    const char* what;
    bool here;                       // the owner ran on this computer (and its process has ended)
    long long silent;                // seconds since it was heard of
    std::optional<long long> grace;  // the store's setting
    bool settled;
  };
  const Case cases[] = {
      {"elsewhere, away a moment", false, 30, std::nullopt, false},
      {"elsewhere, away past the grace time", false, 300, std::nullopt, true},
      {"elsewhere, away past the site's grace time", false, 30, 10, true},
      {"here, its process ended", true, 0, std::nullopt, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    store.Reset();
    if (c.grace) store.settings[kGraceSetting] = *c.grace;
    LeaseHolder away = ThisProcess("away-1", "line-9");
    if (!c.here) away.host = "another-computer";
    away.processStart = "0";  // here: a process that began before this one had its id
    StoreError error;
    ASSERT_TRUE(store.Claim(away, error));
    store.silence["away-1"] = c.silent;
    Counter counter;
    bool made = false;
    ASSERT_TRUE(store.EnsureCounter("serial", 40, 1, counter, made, error));
    ASSERT_EQ(store.Reserve(Unit("away-u1"), 1000, "away-1", error), 40u);  // a unit's
    ASSERT_EQ(store.ReserveBlock("serial", 2, 1000, "away-1", "line-9", error)->size(), 2u);
    NoPorts ports;
    Station station(*this, ports);
    const StartReport start = station.run.Start();
    ASSERT_EQ(start.problem, StartReport::Problem::kNone) << start.detail;
    const auto states = store.States();
    if (!c.settled) {
      EXPECT_EQ(states.at(40), "reserved");
      EXPECT_EQ(states.at(41), "reserved");
      EXPECT_TRUE(store.attempts.empty());
      EXPECT_EQ(store.leases.count("away-1"), 1u);
      continue;
    }
    // Its unit is a guess that its own record may replace; the numbers it held may be on
    // parts: spoiled, never issued again.
    EXPECT_EQ(states.at(40), "spoiled");
    EXPECT_EQ(states.at(41), "spoiled");
    EXPECT_EQ(states.at(42), "spoiled");
    ASSERT_EQ(store.attempts.size(), 1u);
    EXPECT_TRUE(store.attempts[0].guess);
    EXPECT_EQ(store.attempts[0].outcome, UnitOutcome::kBoardGone);
    EXPECT_EQ(store.leases.count("away-1"), 0u);
    EXPECT_EQ(start.spoiled, 2u);
  }
}

// An owner taken for gone comes back: its own records replace what the start guessed, say
// what was guessed, and settle the numbers it still had in its block.
TEST_F(ProductionTest, AnOwnerThatComesBackCorrectsTheGuess) {
  LeaseHolder away = ThisProcess("away-2", "line-9");
  away.host = "another-computer";
  StoreError error;
  ASSERT_TRUE(store.Claim(away, error));
  store.silence["away-2"] = 600;
  Counter counter;
  bool made = false;
  ASSERT_TRUE(store.EnsureCounter("serial", 40, 1, counter, made, error));
  Attempt unit = Unit("away-u2");
  ASSERT_EQ(store.Reserve(unit, 1000, "away-2", error), 40u);
  ASSERT_EQ(store.ReserveBlock("serial", 1, 1000, "away-2", "line-9", error)->front(), 41u);
  {
    NoPorts ports;
    Station station(*this, ports);
    ASSERT_EQ(station.run.Start().problem, StartReport::Problem::kNone);
  }
  // Back: the unit had passed, and a unit burned from its block while it was away.
  unit.serial = 40;
  unit.serialState = SerialState::kUsed;
  unit.outcome = UnitOutcome::kPass;
  ASSERT_TRUE(store.SettleAndRecord(unit, "away-2", error)) << error;
  Attempt later = Unit("away-u3");
  later.serial = 41;
  later.serialState = SerialState::kUsed;
  later.outcome = UnitOutcome::kPass;
  ASSERT_TRUE(store.SettleAndRecord(later, "away-2", error)) << error;
  ASSERT_EQ(store.attempts.size(), 2u);
  EXPECT_EQ(store.attempts[0].outcome, UnitOutcome::kPass);
  EXPECT_FALSE(store.attempts[0].guess);
  EXPECT_EQ(store.attempts[0].corrected, UnitOutcome::kBoardGone);
  EXPECT_EQ((store.States()[40]), "used");
  EXPECT_EQ((store.States()[41]), "used");
  // Another owner's record never takes a number that is not its own.
  Attempt stranger = Unit("other-u1");
  stranger.serial = 41;
  stranger.serialState = SerialState::kUsed;
  EXPECT_FALSE(store.SettleAndRecord(stranger, "other", error));
  EXPECT_TRUE(error.refused());
}

// The numbers held ahead go back when the run ends, and its lease with them.
TEST_F(ProductionTest, TheBlockGoesBackAtTheEnd) {
  setup.blockSize = 5;
  NoPorts ports;
  {
    Station station(*this, ports);
    ASSERT_EQ(station.run.Start().problem, StartReport::Problem::kNone);
    EXPECT_EQ(station.run.state().numbersLeft, 5u);
    EXPECT_EQ(station.run.state().nextNumber, 1u);
    EXPECT_EQ(store.leases.size(), 1u);
  }
  for (const auto& [number, state] : store.States())
    EXPECT_EQ(state, "released") << number;
  EXPECT_TRUE(store.leases.empty());
  // And the next run is given them first.
  Station again(*this, ports);
  ASSERT_EQ(again.run.Start().problem, StartReport::Problem::kNone);
  EXPECT_EQ(again.run.state().nextNumber, 1u);
}

// The first block follows the station's pace as its last units went (two seconds a unit:
// a minute of work is 30 numbers), and the least of twice its ports without a history.
TEST_F(ProductionTest, TheFirstBlockFollowsTheStationsPace) {
  setup.blockTime = std::chrono::seconds(60);
  NoPorts ports;
  {
    Station first(*this, ports);
    ASSERT_EQ(first.run.Start().problem, StartReport::Problem::kNone);
    EXPECT_EQ(first.run.state().numbersLeft, 2u);
  }
  for (int i = 0; i < 3; ++i) {
    Attempt unit = Unit("earlier-" + std::to_string(i));
    unit.outcome = UnitOutcome::kPass;
    unit.seconds = 2.0;
    const std::lock_guard lock(store.mutex);
    store.attempts.push_back(unit);
  }
  Station second(*this, ports);
  ASSERT_EQ(second.run.Start().problem, StartReport::Problem::kNone);
  EXPECT_EQ(second.run.state().numbersLeft, 30u);
}

// A station whose job reads only the image reads the image's block and the serial
// number's, before and after writing, and records how it read.
TEST_F(ProductionTest, AUnitReadsOnlyWhatTheImageTouches) {
  setup.reading = ReadMode::kImage;
  Station station(*this, line);
  ASSERT_EQ(station.run.Start().problem, StartReport::Problem::kNone);
  EXPECT_EQ(station.run.Round().why, ProductionRun::End::Why::kDone);
  ASSERT_EQ(station.face.ends.size(), 1u);
  EXPECT_EQ(station.face.ends[0].record.outcome, UnitOutcome::kPass);
  EXPECT_EQ(station.face.ends[0].record.reading, ReadMode::kImage);
  EXPECT_EQ(board.readAddresses,
            (std::vector<std::uint32_t>{0xC000, 0xFF00, 0xC000, 0xFF00}));  // plan, compare
}

// A station publishes its live state through its lease when it changes, at most once a
// second however fast its units go, and the last state reaches the store (on virtual
// time: the units' wire time and the second between two states are the clock's).
TEST_F(ProductionTest, TheLiveStateAtMostOnceASecond) {
  setup.reading = ReadMode::kImage;  // units of a fraction of a second
  Station station(*this, line);
  ASSERT_EQ(station.run.Start().problem, StartReport::Problem::kNone);
  const std::int64_t began = clock.nowUs();
  constexpr int kRounds = 30;
  for (int round = 0; round < kRounds; ++round) {
    FreshPart();
    ASSERT_EQ(station.run.Round().why, ProductionRun::End::Why::kDone);
  }
  const double seconds = static_cast<double>(clock.nowUs() - began) / 1e6;
  // Each unit changes the state three times (working, its number, ended): without the
  // limit the store would hear of it about three times as often as it may.
  ASSERT_GT(3 * kRounds, 2 * seconds) << "units this slow prove nothing";
  int heartbeats = 0;
  {
    const std::lock_guard lock(store.mutex);
    heartbeats = store.heartbeats;
  }
  EXPECT_LE(heartbeats, static_cast<int>(seconds) + 2);  // and the beat at the start
  EXPECT_GE(heartbeats, 2);
  // Its last unit ended: once the second has passed the store hears of it.
  clock.Advance(std::chrono::seconds(1));
  ASSERT_TRUE(WaitFor([&] {
    const std::lock_guard lock(store.mutex);
    const std::string& live = store.leases.begin()->second.live;
    return live.find("\"state\":\"ended\"") != std::string::npos &&
           live.find("\"serial\":" + std::to_string(kRounds)) != std::string::npos;
  }));
  // With its counter and the largest number its rule (be32) places.
  const std::lock_guard lock(store.mutex);
  const std::string& live = store.leases.begin()->second.live;
  EXPECT_NE(live.find("\"counter\":\"" + setup.counter + "\",\"largest\":4294967295"),
            std::string::npos)
      << live;
}

// A lot takes no board once its parts have passed: the round that would exceed it burns
// no more, and a later start says it is complete.
TEST_F(ProductionTest, ALotStopsAtItsQuantity) {
  setup.lot = "L-7";
  setup.quantity = 2;
  {
    Station station(*this, line);
    const StartReport start = station.run.Start();
    ASSERT_EQ(start.problem, StartReport::Problem::kNone);
    ASSERT_TRUE(start.lot);
    EXPECT_EQ(start.lot->passed, 0);
    EXPECT_EQ(station.run.Round().why, ProductionRun::End::Why::kDone);
    FreshPart();
    EXPECT_EQ(station.run.Round().why, ProductionRun::End::Why::kLotComplete);
    FreshPart();
    EXPECT_EQ(station.run.Round().why, ProductionRun::End::Why::kLotComplete);
    EXPECT_EQ(station.face.ends.size(), 2u);  // the third round burned nothing
    EXPECT_EQ(station.run.state().lot->passed, 2);
  }
  ASSERT_TRUE(WaitFor([&] { return Recorded() == 2; }));
  for (const Attempt& a : store.attempts)
    EXPECT_EQ(a.lot, "L-7");
  Station later(*this, line);
  EXPECT_EQ(later.run.Start().problem, StartReport::Problem::kLotComplete);
}

// The lot's last place goes to the first port of a round, whichever port's thread asks
// first: the operator knows which board is burned. The other port takes no board, and
// the lot is not complete while its last place burns.
TEST_F(ProductionTest, TheLotsLastPlaceGoesToTheFirstPort) {
  setup.lot = "L-8";
  setup.quantity = 1;
  setup.ports.push_back(setup.ports.front());
  setup.ports.back().name = "COM2";
  LastPortFirst ports;
  Station station(*this, ports);
  ASSERT_EQ(station.run.Start().problem, StartReport::Problem::kNone);
  station.run.Round();
  ASSERT_EQ(station.face.ends.size(), 1u);
  EXPECT_EQ(station.face.ends[0].record.port, "COM1");
  EXPECT_EQ(station.face.ends[0].record.lotPlace, 1u);
  EXPECT_EQ(station.face.ends[0].result.verdict, UnitVerdict::kPortFailed);
  EXPECT_EQ(station.face.noPlace, std::vector<std::size_t>{1});
  EXPECT_TRUE(station.face.lotComplete.empty());
}

// A lot's parts are places in the store: two stations that share a lot (each its own
// journal and clock, one store) pass exactly its quantity between them, however their
// rounds interleave; a place whose unit failed is burned again, and the lot is complete
// only once its last places passed.
TEST_F(ProductionTest, StationsThatShareALotPassExactlyItsQuantity) {
  setup.lot = "L-9";
  setup.quantity = 5;
  setup.reading = ReadMode::kImage;
  test::TestClock otherClock;
  sim::TargetBoard otherBoard;
  test::FakeLine otherLine{otherClock, otherBoard, "/dev/ttyFAKE1"};
  otherBoard.AddFault(test::Fault("program-status@1:byte=0x04"));  // its first part fails
  Station first(*this, line);
  RunSetup otherSetup = setup;
  otherSetup.ports.front().device = otherLine.device();
  std::unique_ptr<Journal> otherJournal = Station::OpenJournal(journals, disk);
  StoreService otherService(store.Opener(), Station::Quick());
  Recorder otherFace;
  ProductionRun second(otherSetup, otherService, *otherJournal, otherLine, otherClock, otherFace);
  ASSERT_EQ(first.run.Start().problem, StartReport::Problem::kNone);
  ASSERT_EQ(second.Start().problem, StartReport::Problem::kNone);
  // Each station burns round after round until its round ends with the lot complete; a
  // round that found no place for its port (the other station burns the last ones) is
  // tried again a moment later.
  auto work = [](ProductionRun& run, sim::TargetBoard& part, const Recorder& face) {
    for (int round = 0; round < 2000; ++round) {
      part.memory().fill(0xFF);
      const std::size_t before = face.ends.size();
      if (run.Round().why == ProductionRun::End::Why::kLotComplete) return;
      if (face.ends.size() == before) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ADD_FAILURE() << "the lot never completed";
  };
  std::thread other([&] { work(second, otherBoard, otherFace); });
  work(first.run, board, first.face);
  other.join();
  ASSERT_TRUE(
      WaitFor([&] { return Recorded() == first.face.ends.size() + otherFace.ends.size(); }));
  int passed = 0;
  std::set<std::uint64_t> places;
  for (const Attempt& a : store.attempts) {
    if (a.outcome != UnitOutcome::kPass) continue;
    ++passed;
    ASSERT_TRUE(a.lotPlace);
    EXPECT_TRUE(places.insert(*a.lotPlace).second) << "place " << *a.lotPlace << " passed twice";
  }
  EXPECT_EQ(passed, 5);
  EXPECT_EQ(store.PlacesIn("L-9", "passed"), 5);
  EXPECT_EQ(otherFace.ends[0].record.outcome, UnitOutcome::kFail);
  // Both see the store's count, not their own.
  EXPECT_EQ(first.run.state().lot->passed, 5);
  EXPECT_EQ(second.state().lot->passed, 5);
  second.Close();
}

// A station that stops while it holds places ahead (its store away, so nothing went
// back) leaves them to its journal: the next start on this computer frees those that no
// unit of it passed on, and the lot completes with exactly its quantity. Without a
// journal that tells, a gone station's places count against the lot as unknown.
TEST_F(ProductionTest, PlacesOfAStationThatStoppedHoldingThem) {
  setup.lot = "L-10";
  setup.quantity = 6;
  setup.reading = ReadMode::kImage;
  {
    Station killed(*this, line);
    ASSERT_EQ(killed.run.Start().problem, StartReport::Problem::kNone);
    EXPECT_EQ(killed.run.Round().why, ProductionRun::End::Why::kDone);
    const std::lock_guard lock(store.mutex);
    store.away = true;  // nothing goes back as it closes
  }
  {
    const std::lock_guard lock(store.mutex);
    store.away = false;
  }
  EXPECT_EQ(store.PlacesIn("L-10", "passed"), 1);
  EXPECT_GT(store.PlacesIn("L-10", "held"), 0);
  Station next(*this, line);
  const StartReport start = next.run.Start();
  ASSERT_EQ(start.problem, StartReport::Problem::kNone) << start.detail;
  EXPECT_EQ(start.lot->passed, 1);
  int rounds = 0;
  while (rounds < 20) {
    FreshPart();
    ++rounds;
    if (next.run.Round().why == ProductionRun::End::Why::kLotComplete) break;
  }
  EXPECT_EQ(rounds, 5);
  EXPECT_EQ(store.PlacesIn("L-10", "passed"), 6);

  // A station gone elsewhere, its journal out of reach: its held places are unknown.
  setup.lot = "L-11";
  {
    const std::lock_guard lock(store.mutex);
    store.lots["L-11"] = Lot{"L-11", 4, ""};
    store.nextPlace["L-11"] = 3;
    store.places[{"L-11", 1}] = test::FakeStore::Place{"held", "elsewhere-1", ""};
    store.places[{"L-11", 2}] = test::FakeStore::Place{"held", "elsewhere-1", ""};
    store.silence["elsewhere-1"] = 10000;
    store.leases["elsewhere-1"].holder = LeaseHolder{"elsewhere-1", "far", "far-pc", "b", 1, "1"};
  }
  Station after(*this, line);
  const StartReport later = after.run.Start();
  ASSERT_EQ(later.problem, StartReport::Problem::kNone) << later.detail;
  EXPECT_EQ(store.PlacesIn("L-11", "unknown"), 2);
  EXPECT_EQ(later.lot->unknown, 2);  // they count against the lot until someone settles them
  EXPECT_EQ(later.lot->Free(), 2u);
}

// The store goes away mid-run: units go on with the numbers held ahead, their records
// wait in the journal; when the block is spent the station stops between units and says
// why. Once the store answers again the records reach it by themselves, in order, each once.
TEST_F(ProductionTest, UnitsGoOnFromTheBlockWhileTheStoreIsAway) {
  setup.blockSize = 3;
  Station station(*this, line);
  ASSERT_EQ(station.run.Start().problem, StartReport::Problem::kNone);
  {
    const std::lock_guard lock(store.mutex);
    store.away = true;
  }
  for (int i = 0; i < 3; ++i) {
    FreshPart();
    EXPECT_EQ(station.run.Round().why, ProductionRun::End::Why::kDone) << i;
  }
  const RunState away = station.run.state();
  EXPECT_TRUE(away.storeAway);
  EXPECT_EQ(away.waiting, 3u);
  EXPECT_EQ(away.numbersLeft, 0u);
  FreshPart();
  EXPECT_EQ(station.run.Round().why, ProductionRun::End::Why::kBlockSpent);
  // The fourth part was left alone: its unit ended before a byte was written.
  ASSERT_EQ(station.face.ends.size(), 4u);
  EXPECT_TRUE(station.face.ends[3].result.noNumber);
  EXPECT_EQ(board.memory()[0xC000], 0xFF);
  EXPECT_EQ(Recorded(), 0u);
  {
    const std::lock_guard lock(store.mutex);
    store.away = false;
  }
  // Nobody presses a key: the station takes the answers in by itself.
  ASSERT_TRUE(WaitFor([&] { return Recorded() == 3 && station.run.state().waiting == 0; }));
  const std::lock_guard lock(store.mutex);
  for (std::size_t i = 0; i < store.attempts.size(); ++i) {
    EXPECT_EQ(store.attempts[i].serial, i + 1);
    EXPECT_EQ(store.attempts[i].outcome, UnitOutcome::kPass);
    EXPECT_EQ(store.attempts[i].serialState, SerialState::kUsed);
  }
}

// A station that starts while another is between making its journal and locking it never
// sees that journal: it takes nothing over, and the other's file is there, locked, after.
TEST_F(ProductionTest, AJournalBeingMadeIsNotTakenOver) {
  std::promise<void> made;
  std::promise<void> lookedAt;
  std::atomic<bool> once{false};
  test::TestDisk slow;
  slow.beforeLock = [&] {
    if (once.exchange(true)) return;  // only the first lock waits
    made.set_value();
    lookedAt.get_future().wait();
  };
  std::string error;
  std::unique_ptr<Journal> first;
  std::thread starting([&] { first = Journal::Open(journals, "line-1-first", error, slow); });
  made.get_future().wait();
  NoPorts ports;
  {
    Station second(*this, ports);
    const StartReport start = second.run.Start();
    EXPECT_EQ(start.problem, StartReport::Problem::kNone) << start.detail;
    lookedAt.set_value();
    starting.join();
  }
  ASSERT_TRUE(first) << error;
  EXPECT_TRUE(std::filesystem::exists(journals / "line-1-first.journal"));
  EXPECT_TRUE(Journal::Alive(journals, "line-1-first"));
  EXPECT_TRUE(Journal::Peek(journals).empty());
}

#ifndef _WIN32
// A journal written in a locale with a decimal comma is read the same in any other: the
// seconds keep their point both ways.
TEST(JournalLines, ReadTheSameInEveryLocale) {
  const test::CommaLocale& comma = test::CommaLocale::Get();
  if (comma.folder.empty()) GTEST_SKIP() << "localedef cannot make a German locale here";
  ::setenv("LOCPATH", comma.folder.c_str(), 1);
  ASSERT_NE(std::setlocale(LC_ALL, comma.name.c_str()), nullptr);
  ASSERT_STREQ(std::localeconv()->decimal_point, ",");
  Attempt unit;
  unit.unitId = "u-1";
  unit.seconds = 1.891;
  std::string line = JournalLine(JournalStage::kEnded, unit);
  line.pop_back();  // its end of line
  const ReadLine read = ReadJournalLine(line, true);
  std::setlocale(LC_ALL, "C");
  ::unsetenv("LOCPATH");
  EXPECT_NE(line.find("seconds=1.891 "), std::string::npos) << line;
  ASSERT_EQ(read.kind, ReadLine::Kind::kUnit);
  EXPECT_DOUBLE_EQ(read.entry.unit.seconds, 1.891);
  const ReadLine again = ReadJournalLine(line, true);  // and back in the C locale
  ASSERT_EQ(again.kind, ReadLine::Kind::kUnit);
  EXPECT_DOUBLE_EQ(again.entry.unit.seconds, 1.891);
}
#endif

}  // namespace
}  // namespace otp
