#include "ops/Production.h"

#include <algorithm>
#include <ctime>

#include "core/Texts.h"
#include "ops/Job.h"

namespace otp {

namespace {

constexpr std::uint64_t kStoreLimit = (std::uint64_t{1} << 63) - 1;

// How a unit that never ended is recorded, by how far its journal says it came.
Attempt Replayed(const JournalEntry& entry, Language language) {
  Attempt a = entry.unit;
  if (entry.stage == JournalStage::kEnded) return a;
  if (a.ended.empty()) a.ended = a.started;
  a.result = "interrupted";
  a.verdict = VerdictName(UnitVerdict::kInterrupted);
  a.reportText = Tr(language, "the station stopped during the unit");
  if (a.serial) {
    // Before its first program block the part holds nothing of the number.
    a.serialState = SerialStateName(
        entry.stage == JournalStage::kProgramming ? SerialState::kSpoiled : SerialState::kReleased);
  }
  return a;
}

// The journal file's owner: its name without the ending.
std::string OwnerOf(const Journal::Orphan& orphan) {
  return orphan.file.stem().string();
}

}  // namespace

std::string IsoNow(Clock& clock) {
  const std::time_t now = std::chrono::system_clock::to_time_t(clock.WallNow());
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &now);
#else
  gmtime_r(&now, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::uint64_t LargestNumber(const SerialRule& rule) {
  switch (rule.format) {
    case SerialRule::Format::kLe16:
    case SerialRule::Format::kBe16:
      return 0xFFFF;
    case SerialRule::Format::kLe32:
    case SerialRule::Format::kBe32:
      return 0xFFFFFFFFu;
    case SerialRule::Format::kBcd:
    case SerialRule::Format::kAscii: {
      // 10^19 - 1 is beyond the store's limit; fewer digits are below it.
      if (rule.digits >= 19) return kStoreLimit;
      std::uint64_t largest = 0;
      for (int i = 0; i < rule.digits; ++i)
        largest = largest * 10 + 9;
      return largest;
    }
  }
  return 0;
}

// A port of the run: its engine, shown on the face's view of the port.
struct ProductionRun::Port {
  Port(EngineView& view, Clock& clock, EngineOptions options) : engine(view, clock, options) {}
  Engine engine;
};

ProductionRun::ProductionRun(RunSetup setup, RecordStore& store, Journal& journal,
                             SerialPortFactory& ports, Clock& clock, RunObserver& observer)
    : setup_(std::move(setup)),
      store_(store),
      journal_(journal),
      portFactory_(ports),
      clock_(clock),
      observer_(observer),
      lastVerdicts_(setup_.ports.size(), UnitVerdict::kPass) {
  EngineOptions options;
  options.language = setup_.language;
  options.retries = setup_.retries;
  options.stop = &stop_;
  for (std::size_t i = 0; i < setup_.ports.size(); ++i) {
    ports_.push_back(std::make_unique<Port>(observer_.ViewFor(i), clock_, options));
    CWriter& writer = ports_.back()->engine.writer();
    writer.spec.Assign(*setup_.ports[i].model);
    writer.m_strModuleDir = setup_.moduleDir;
    writer.monitorDirs = setup_.monitorDirs;
  }
}

ProductionRun::~ProductionRun() = default;

Counters ProductionRun::counters() const {
  const std::lock_guard lock(mutex_);
  Counters counters = counters_;
  if (firstUnit_) {
    counters.seconds = std::chrono::duration<double>(clock_.Now() - *firstUnit_).count();
  }
  return counters;
}

std::vector<UnitVerdict> ProductionRun::LastVerdicts() const {
  const std::lock_guard lock(mutex_);
  return lastVerdicts_;
}

StartReport ProductionRun::Start() {
  StartReport report;
  auto fail = [&](StartReport::Problem problem, const std::string& detail) {
    report.problem = problem;
    report.detail = detail;
    return report;
  };
  // Whoever prepared the run, its numbers go where they can: inside the OTP area, on
  // bytes that the image leaves blank.
  if (setup_.rule && !setup_.ports.empty()) {
    const JobProblem problem = CheckSerialRule(*setup_.rule, setup_.serialStart.value_or(0),
                                               setup_.image, *setup_.ports.front().model);
    if (problem.kind != JobProblem::Kind::kNone) {
      return fail(StartReport::Problem::kSerialRule, JobProblemText(problem, "", setup_.language));
    }
  }
  StoreError error;
  if (!store_.Claim(journal_.owner(), error)) return fail(StartReport::Problem::kStore, error.text);
  // Numbers that dead processes of this station hold, as the store knows them: asked
  // before their journals are taken over, since a journal locked by this start would
  // look alive.
  auto leftovers = store_.Orphans(setup_.station, error);
  if (!leftovers) return fail(StartReport::Problem::kStore, error.text);
  // Journals of processes that are gone: what each learned is recorded as it learned it.
  for (const Journal::Orphan& orphan : journal_.TakeOver(&report.skipped)) {
    std::string refusal;
    for (const JournalEntry& journaled : orphan.units) {
      JournalEntry entry = journaled;
      // Killed between its reservation and the journal's line of it: the store's row
      // names the unit and its number, which the part never received.
      if (!entry.unit.serial) {
        for (auto it = leftovers->begin(); it != leftovers->end(); ++it) {
          if (it->unit.unitId != entry.unit.unitId) continue;
          entry.unit.serial = it->unit.serial;
          entry.unit.counter = it->unit.counter;
          leftovers->erase(it);
          break;
        }
      }
      const Attempt attempt = Replayed(entry, setup_.language);
      if (!store_.SettleAndRecord(attempt, OwnerOf(orphan), error)) {
        if (!error.refused()) return fail(StartReport::Problem::kStore, error.text);
        if (refusal.empty()) refusal = error.text;
        continue;
      }
      report.replayed.push_back(attempt);
      std::erase_if(*leftovers, [&](const RecordStore::Leftover& leftover) {
        return leftover.unit.unitId == attempt.unitId;
      });
    }
    if (refusal.empty()) {
      journal_.Forget(orphan);
    } else {
      // One refused unit stops no station: the journal is kept for a person to check.
      report.setAside.push_back(
          {orphan.file, journal_.PutAside(orphan), refusal, orphan.units.size()});
    }
  }
  // Numbers that a dead process of this station held and no journal accounts for: how far
  // their units came is unknown, so they may be on a part and are never issued again.
  for (const RecordStore::Leftover& leftover : *leftovers) {
    JournalEntry entry{JournalStage::kProgramming, leftover.unit};
    const Attempt attempt = Replayed(entry, setup_.language);
    if (!store_.SettleAndRecord(attempt, leftover.owner, error)) {
      return fail(StartReport::Problem::kStore, error.text);
    }
    report.replayed.push_back(attempt);
  }
  if (!setup_.rule) return report;
  if (!store_.EnsureCounter(setup_.counter, setup_.serialStart.value_or(1),
                            setup_.serialStep.value_or(1), report.counter, report.newCounter,
                            error)) {
    return fail(StartReport::Problem::kStore, error.text);
  }
  const Counter& counter = report.counter;
  if (!report.newCounter) {
    if (setup_.serialStart && counter.start && *counter.start != *setup_.serialStart) {
      return fail(StartReport::Problem::kCounterStart, {});
    }
    if (setup_.serialStep && counter.step != *setup_.serialStep) {
      return fail(StartReport::Problem::kCounterStep, {});
    }
  }
  if (counter.exhausted || counter.next > LargestNumber(*setup_.rule)) {
    return fail(StartReport::Problem::kCounterFull, {});
  }
  return report;
}

Attempt ProductionRun::NewUnit(std::size_t port) {
  Attempt unit;
  {
    const std::lock_guard lock(mutex_);
    unit.unitId = journal_.owner() + "-" + std::to_string(++unitSequence_);
    if (!firstUnit_) firstUnit_ = clock_.Now();
  }
  const PortTarget& target = setup_.ports[port];
  unit.started = IsoNow(clock_);
  unit.station = setup_.station;
  unit.port = target.name;
  unit.device = target.device;
  unit.model = std::string(target.model->model);
  unit.clock = std::string(target.model->speeds[static_cast<std::size_t>(target.rate)]);
  unit.image = setup_.imageName;
  unit.crc32 = setup_.crc32;
  unit.job = setup_.job;
  unit.jobSum = setup_.jobSum;
  if (setup_.rule) unit.counter = setup_.counter;
  return unit;
}

bool ProductionRun::SettlePending(StoreError& error) {
  std::string journalError;
  // Units that neither could take: the journal first, then the store.
  for (auto it = unsaved_.begin(); it != unsaved_.end();) {
    // Once the journal holds it, it is settled as every journaled unit is, below.
    if (!journal_.Write(JournalStage::kEnded, it->record, journalError)) {
      if (!store_.SettleAndRecord(it->record, journal_.owner(), error)) {
        if (!error.refused()) return false;
        refused_.emplace_back(it->record, error.text);
      }
      journal_.Write(JournalStage::kConfirmed, it->record, journalError);
    }
    it = unsaved_.erase(it);
  }
  for (const JournalEntry& entry : journal_.Unconfirmed()) {
    if (entry.stage != JournalStage::kEnded) continue;
    if (store_.SettleAndRecord(entry.unit, journal_.owner(), error)) {
      journal_.Write(JournalStage::kConfirmed, entry.unit, journalError);
      continue;
    }
    if (!error.refused()) return false;
    // What the store refuses stays on the disk for a person, and holds up nothing.
    refused_.emplace_back(entry.unit, error.text);
    journal_.PutAside(entry, journalError);
  }
  return true;
}

void ProductionRun::Settle(UnitEnd& end) {
  desk_.Call([&] {
    // What the unit learned is on disk before the store hears of it.
    end.journaled = journal_.Write(JournalStage::kEnded, end.record, end.journalError);
    StoreError storeError;
    end.stored = store_.SettleAndRecord(end.record, journal_.owner(), storeError);
    if (end.stored) {
      std::string error;
      journal_.Write(JournalStage::kConfirmed, end.record, error);
      observer_.AfterSettle(store_);
      return;
    }
    end.storeError = storeError.text;
    if (storeError.refused()) {
      // The store holds something else for this unit: its outcome is kept aside.
      std::string error;
      if (end.journaled) journal_.PutAside(JournalEntry{JournalStage::kEnded, end.record}, error);
      const std::lock_guard lock(mutex_);
      refused_.emplace_back(end.record, storeError.text);
      return;
    }
    const std::lock_guard lock(mutex_);
    // Known only to this process: it is tried again, journal and store, until one holds it.
    if (!end.journaled) unsaved_.push_back(end);
    // No further unit without a store that keeps its record; the units that burn
    // finish.
    if (storeError_.empty()) storeError_ = end.storeError;
  });
}

namespace {

// The unit's hooks: its phases reach the face; its number, and what the journal must
// hold before the part is touched, go through the store's thread.
class RunHooks final : public UnitHooks {
 public:
  RunHooks(std::size_t port, RunObserver& observer, std::atomic<bool>& stop)
      : port_(port), observer_(observer), stop_(stop) {}
  void OnPhase(UnitPhase phase) override { observer_.OnPhase(port_, phase); }
  void OnPlan(const BurnPlan& plan) override { observer_.OnPlan(port_, plan); }
  std::optional<std::uint64_t> TakeNumber() override { return takeNumber(); }
  void NoNumber() override {
    if (noNumber) noNumber();
  }
  bool BeforeProgramming() override { return beforeProgramming(); }
  bool Stopped() override { return stop_.load(); }

  std::function<std::optional<std::uint64_t>()> takeNumber;
  std::function<void()> noNumber;
  std::function<bool()> beforeProgramming;

 private:
  std::size_t port_;
  RunObserver& observer_;
  std::atomic<bool>& stop_;
};

}  // namespace

void ProductionRun::RunPortUnit(std::size_t port, PortOrder* order, bool found) {
  Engine& engine = ports_[port]->engine;
  observer_.OnUnitStart(port);
  UnitEnd end;
  Attempt& unit = end.record;
  unit = NewUnit(port);
  bool journaled = false;
  std::string journalError;
  desk_.Call([&] { journaled = journal_.Write(JournalStage::kBegun, unit, journalError); });

  RunHooks hooks(port, observer_, stop_);
  std::string numberError;
  hooks.takeNumber = [&]() -> std::optional<std::uint64_t> {
    if (order) order->WaitTurn(port);
    std::optional<std::uint64_t> number;
    desk_.Call([&] {
      const std::lock_guard lock(mutex_);
      // After a store failure no unit gets a number: nothing is burned unrecorded.
      if (!storeError_.empty()) return;
      StoreError numberError;
      number = store_.Reserve(unit, LargestNumber(*setup_.rule), journal_.owner(), numberError);
      if (!number) {
        exhausted_ = numberError.kind == StoreError::Kind::kNone;
        storeError_ = exhausted_ ? "the counter's numbers do not fit the rule" : numberError.text;
        return;
      }
      unit.serial = number;
      std::string error;
      if (!journal_.Write(JournalStage::kReserved, unit, error)) {
        // Not on disk: the number goes back, and the unit burns nothing.
        unit.serialState = SerialStateName(SerialState::kReleased);
        unit.result = "fail";
        unit.verdict = VerdictName(UnitVerdict::kFileFailed);
        StoreError ignored;
        store_.SettleAndRecord(unit, journal_.owner(), ignored);
        storeError_ = error;
        number.reset();
        unit.serial.reset();
      }
    });
    if (order) order->Done(port);
    if (number) observer_.OnNumber(port, *number);
    return number;
  };
  hooks.noNumber = [&] {
    if (order) order->Pass(port);
  };
  hooks.beforeProgramming = [&] {
    bool written = false;
    desk_.Call([&] {
      std::string error;
      written = journal_.Write(JournalStage::kProgramming, unit, error);
    });
    return written;
  };

  UnitRequest request;
  request.image = &setup_.image;
  request.rule = setup_.rule ? &*setup_.rule : nullptr;
  request.resume = setup_.resume;
  request.refuseComplete = true;  // a unit is a part burned now
  const ResetMethod reset = found ? ResetMethod{ResetMethod::Kind::kFound, {}} : setup_.reset;
  if (journaled) {
    end.result = RunUnit(engine, portFactory_, setup_.ports[port], reset, request, hooks);
  } else {
    if (request.rule && order) order->Pass(port);
    end.result.verdict = UnitVerdict::kFileFailed;
    end.result.findings.failure = journalError;
    const std::lock_guard lock(mutex_);
    if (storeError_.empty()) storeError_ = journalError;
  }
  const UnitResult& r = end.result;

  if (r.noNumber || !journaled) {
    // Nothing was sent to the part: there is nothing to record but the store's failure.
    if (journaled) {
      desk_.Call([&] {
        std::string error;
        journal_.Write(JournalStage::kConfirmed, unit, error);
      });
    }
    {
      const std::lock_guard lock(mutex_);
      end.storeError = storeError_;
      end.counters = counters_;
    }
    observer_.OnUnitEnd(port, end);
    return;
  }
  const bool pass = r.verdict == UnitVerdict::kPass;
  unit.ended = IsoNow(clock_);
  unit.result = pass ? "pass" : (r.verdict == UnitVerdict::kInterrupted ? "interrupted" : "fail");
  unit.verdict = VerdictName(r.verdict);
  if (unit.serial) {
    unit.serialState = SerialStateName(
        pass ? SerialState::kUsed
             : (r.programBlocksSent > 0 ? SerialState::kSpoiled : SerialState::kReleased));
  }
  unit.reportId = r.findings.lastError;
  if (!pass) {
    switch (r.refusal) {
      case PlanRefusal::kConflict:
        unit.reportText = Tr(setup_.language, "the part can never hold the image");
        break;
      case PlanRefusal::kStarted:
        unit.reportText = Tr(setup_.language, "the part already holds part of the image");
        break;
      case PlanRefusal::kComplete:
        unit.reportText = r.anotherNumber
                              ? Tr(setup_.language,
                                   "the part already holds this image, with another serial number")
                              : Tr(setup_.language, "the part already holds this image");
        break;
      case PlanRefusal::kNone:
        unit.reportText = r.findings.failure;
        break;
    }
  }
  unit.firstDifference = r.findings.firstDifference;
  unit.failedBlock = r.failedBlock;
  unit.seconds = r.seconds;
  {
    const std::lock_guard lock(mutex_);
    (pass ? counters_.passed : counters_.failed) += 1;
    lastVerdicts_[port] = r.verdict;
  }
  Settle(end);
  end.counters = counters();
  observer_.OnUnitEnd(port, end);
}

ProductionRun::End ProductionRun::Finish(int failedUnits) {
  End end;
  end.lastUnitsFailed = failedUnits;
  const std::lock_guard lock(mutex_);
  end.storeFailed = !storeError_.empty();
  end.storeError = storeError_;
  end.numbersExhausted = exhausted_;
  for (const JournalEntry& entry : journal_.Unconfirmed()) {
    if (entry.stage == JournalStage::kEnded) end.waiting.push_back(entry.unit);
  }
  for (const UnitEnd& unsaved : unsaved_)
    end.unsaved.push_back(unsaved.record);
  end.refused.swap(refused_);
  return end;
}

bool ProductionRun::Begin() {
  StoreError error;
  const bool settled = SettlePending(error);
  const std::lock_guard lock(mutex_);
  storeError_ = settled ? std::string() : error.text;
  return settled;
}

ProductionRun::End ProductionRun::RunPorts(const std::function<void(std::size_t)>& unitsOn) {
  std::vector<std::function<void()>> jobs;
  for (std::size_t i = 0; i < ports_.size(); ++i) {
    jobs.push_back([this, i, &unitsOn] {
      unitsOn(i);
      desk_.Leave();
    });
  }
  portFactory_.RunOnThreads(jobs, [this] { desk_.Serve(ports_.size()); });
  int failed = 0;
  for (const UnitVerdict verdict : LastVerdicts())
    failed += verdict == UnitVerdict::kPass ? 0 : 1;
  return Finish(failed);
}

ProductionRun::End ProductionRun::Round() {
  // A Stop asked before the round began holds: no unit starts.
  if (!Begin() || stop_) return Finish(0);
  PortOrder order(ports_.size());
  return RunPorts([this, &order](std::size_t port) { RunPortUnit(port, &order, false); });
}

bool ProductionRun::StoreAnswers() const {
  const std::lock_guard lock(mutex_);
  return storeError_.empty();
}

bool ProductionRun::LookForBoard(std::size_t port) {
  CWriter& writer = ports_[port]->engine.writer();
  const PortTarget& target = setup_.ports[port];
  bool told = false;
  bool problemTold = false;
  while (!stop_ && StoreAnswers()) {
    const auto next = clock_.Now() + kLookInterval;
    if (!writer.link.IsOpen()) {
      auto opened = portFactory_.Open(target.device);
      if (opened && opened->Configure(writer.spec.BaudFor(target.rate).value_or(0)) ==
                        SerialPort::ConfigResult::kOk) {
        writer.link.Adopt(std::move(opened));
        problemTold = false;
      } else if (!problemTold) {
        observer_.OnPortProblem(
            port, opened ? std::string("its settings are refused") : portFactory_.LastOpenError());
        problemTold = true;
      }
    }
    if (!told) {
      observer_.OnLooking(port);
      told = true;
    }
    if (writer.link.IsOpen() && writer.link.LookForBoard(kLookAnswer) == SyncResult::kAnswered) {
      observer_.OnBoard(port);
      return true;
    }
    // One sleep until the next look: Stop ends a port that only looks within it.
    const auto now = clock_.Now();
    if (!stop_ && now < next) clock_.Sleep(next - now);
  }
  writer.link.Close();
  return false;
}

ProductionRun::End ProductionRun::AutoRun() {
  if (!Begin()) return Finish(0);
  return RunPorts([this](std::size_t port) {
    while (!stop_ && StoreAnswers() && LookForBoard(port))
      RunPortUnit(port, nullptr, true);
  });
}

}  // namespace otp
