#include "ops/Production.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <map>
#include <set>
#include <tuple>

#include "core/Texts.h"
#include "ops/Host.h"
#include "ops/Job.h"

namespace otp {

namespace {

using namespace std::chrono_literals;

constexpr std::uint64_t kStoreLimit = (std::uint64_t{1} << 63) - 1;

// How a unit that never ended is recorded, by how far its journal says it came: its
// station stopped, and the journal is exact about what reached the part.
Attempt Replayed(const JournalEntry& entry, Language language) {
  Attempt a = entry.unit;
  if (entry.stage == JournalStage::kEnded) return a;
  if (a.ended.empty()) a.ended = a.started;
  a.verdict = UnitVerdict::kInterrupted;
  const bool written = entry.stage == JournalStage::kProgramming;
  // Before its first program block the part holds nothing, of the image or the number.
  a.outcome = written ? UnitOutcome::kFail : UnitOutcome::kStopped;
  a.reportText = written ? Tr(language, "the station stopped while the part was programmed")
                         : Tr(language, "the station stopped during the unit");
  if (a.serial) a.serialState = written ? SerialState::kSpoiled : SerialState::kReleased;
  return a;
}

// The journal file's owner: its name without the ending.
std::string OwnerOf(const Journal::Orphan& orphan) {
  return orphan.file.stem().string();
}

// Asks the store for something and waits at most `deadline`: nothing, with `error`, when
// it did not answer (away, late) or failed. The job may outlive the wait: it takes what
// it needs by value.
template <typename R>
std::optional<R> Ask(StoreService& store,
                     std::function<std::optional<R>(RecordStore&, StoreError&)> job,
                     StoreError& error,
                     std::chrono::milliseconds deadline = ProductionRun::kStoreWait) {
  auto result = std::make_shared<std::optional<R>>();
  error = StoreError{};
  const auto answer = store.Call(
      [job, result](RecordStore& s, StoreError& e) { *result = job(s, e); }, deadline, error);
  if (answer != StoreService::Answer::kDone) return std::nullopt;
  return *result;
}

// A call whose only answer is whether it worked.
bool Do(StoreService& store, std::function<bool(RecordStore&, StoreError&)> job, StoreError& error,
        std::chrono::milliseconds deadline = ProductionRun::kStoreWait) {
  return Ask<bool>(
             store,
             [job](RecordStore& s, StoreError& e) -> std::optional<bool> {
               return job(s, e) ? std::optional<bool>(true) : std::nullopt;
             },
             error, deadline)
      .has_value();
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

// What the store's jobs share with the run: they may outlive it.
struct ProductionRun::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::uint64_t> block;                    // numbers held ahead, the lowest first
  bool refilling = false;                             // a request for more is on its way
  bool filling = false;                               // the block is filled up, a share at a time
  std::chrono::steady_clock::time_point lastShare{};  // when the last share was asked for
  bool exhausted = false;                             // the counter gave fewer than asked: no more
  std::map<std::string, StoreError> answers;          // the store's answer to each unit's record
  std::set<std::string> waiting;                      // units whose port waits for the answer
  std::set<std::string> posted;                       // units sent to the store, not answered
  std::string live;                                   // what the station publishes of itself
  std::vector<StationLive::Port> ports;               // each port's state, for `live`
  std::string livePosted;                             // the live state last sent
  std::chrono::steady_clock::time_point livePostedAt{};  // ... and when
};

// A port of the run: its engine, shown on the face's view of the port.
struct ProductionRun::Port {
  Port(EngineView& view, Clock& clock, EngineOptions options) : engine(view, clock, options) {}
  Engine engine;
};

ProductionRun::ProductionRun(RunSetup setup, StoreService& store, Journal& journal,
                             SerialPortFactory& ports, Clock& clock, RunObserver& observer)
    : setup_(std::move(setup)),
      store_(store),
      journal_(journal),
      portFactory_(ports),
      clock_(clock),
      observer_(observer),
      shared_(std::make_shared<Shared>()),
      lastOutcomes_(setup_.ports.size(), UnitOutcome::kPass) {
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
  if (setup_.rule) largest_ = LargestNumber(*setup_.rule);
  for (const PortTarget& target : setup_.ports)
    shared_->ports.push_back({target.name, StationLive::Port::State::kIdle, {}, {}});
}

ProductionRun::~ProductionRun() {
  Close();
}

Counters ProductionRun::counters() const {
  const std::lock_guard lock(mutex_);
  Counters counters = counters_;
  if (firstUnit_) {
    counters.seconds = std::chrono::duration<double>(clock_.Now() - *firstUnit_).count();
  }
  return counters;
}

std::vector<UnitOutcome> ProductionRun::LastOutcomes() const {
  const std::lock_guard lock(mutex_);
  return lastOutcomes_;
}

RunState ProductionRun::state() const {
  RunState state;
  const StoreService::State store = store_.state();
  state.storeAway = store.away;
  state.storeError = store.error;
  for (const JournalEntry& entry : journal_.Unconfirmed())
    state.waiting += entry.stage == JournalStage::kEnded ? 1 : 0;
  {
    const std::lock_guard lock(mutex_);
    state.waiting += unsaved_.size();
    state.lot = lot_;
  }
  if (setup_.rule) {
    const std::lock_guard lock(shared_->mutex);
    state.numbersLeft = shared_->block.size();
    if (!shared_->block.empty()) state.nextNumber = shared_->block.front();
  }
  return state;
}

void ProductionRun::Publish() {
  const std::lock_guard publishing(publishing_);
  const RunState now = state();
  {
    // What the station publishes of itself for the factory's view.
    StationLive live;
    live.away = now.storeAway;
    live.waiting = now.waiting;
    live.numbersLeft = now.numbersLeft;
    if (setup_.rule) {
      live.counter = setup_.counter;
      live.largest = largest_;
    }
    live.job = setup_.job;
    if (now.lot) {
      live.lot = now.lot->name;
      live.quantity = now.lot->quantity;
      live.lotPassed = now.lot->passed;
    }
    const std::lock_guard lock(shared_->mutex);
    live.ports = shared_->ports;
    shared_->live = LiveJson(live);
  }
  observer_.OnState(now);
}

void ProductionRun::SetPortLive(std::size_t port, StationLive::Port::State state,
                                std::optional<std::uint64_t> serial,
                                std::optional<UnitOutcome> outcome) {
  {
    const std::lock_guard lock(shared_->mutex);
    if (port >= shared_->ports.size()) return;
    StationLive::Port& live = shared_->ports[port];
    live.state = state;
    live.serial = serial;
    live.outcome = outcome;
  }
  Publish();
}

std::size_t ProductionRun::BlockTarget() const {
  if (setup_.blockSize) return std::max<std::size_t>(1, *setup_.blockSize);
  const std::size_t least = std::max<std::size_t>(2, 2 * setup_.ports.size());
  const std::lock_guard lock(mutex_);
  if (unitsTimed_ == 0 || unitSeconds_ <= 0) return least;
  // The station's pace: every port a unit each unitSeconds_.
  const double units = static_cast<double>(blockTime_.count()) / unitSeconds_ *
                       static_cast<double>(setup_.ports.size());
  return std::max(least, static_cast<std::size_t>(std::ceil(units)));
}

bool ProductionRun::SettleLeftovers(StartReport& report, StoreError& error) {
  const std::string me = journal_.owner();
  const auto leases = Ask<std::vector<Lease>>(
      store_, [](RecordStore& s, StoreError& e) { return s.Leases(e); }, error);
  if (!leases) return false;
  const auto holders = Ask<std::vector<std::string>>(
      store_, [](RecordStore& s, StoreError& e) { return s.Holders(e); }, error);
  if (!holders) return false;
  const auto setting = Ask<long long>(
      store_, [](RecordStore& s, StoreError& e) { return s.Setting(kGraceSetting, e); }, error);
  if (error.kind != StoreError::Kind::kNone) return false;
  const long long grace = setting.value_or(kDefaultGrace.count());
  // An owner is gone for certain when its process ended on this computer, or when it has
  // not been heard of for the grace time; an owner that holds numbers without a lease
  // (the store's first schemas) is gone too.
  std::set<std::string> gone;
  std::set<std::string> leased;
  for (const Lease& lease : *leases) {
    leased.insert(lease.holder.owner);
    if (lease.holder.owner != me && (EndedHere(lease.holder) || lease.silent > grace)) {
      gone.insert(lease.holder.owner);
    }
  }
  for (const std::string& holder : *holders) {
    if (holder != me && !leased.count(holder)) gone.insert(holder);
  }
  // A journal here that no process holds: its process has ended.
  std::vector<Journal::Orphan> orphans = journal_.TakeOver(&report.skipped);
  for (const Journal::Orphan& orphan : orphans)
    gone.insert(OwnerOf(orphan));
  if (gone.empty()) return true;
  const std::vector<std::string> owners(gone.begin(), gone.end());
  auto rows = Ask<std::vector<RecordStore::Leftover>>(
      store_, [owners](RecordStore& s, StoreError& e) { return s.Reserved(owners, e); }, error);
  if (!rows) return false;
  // Gives numbers back in `state`, counter by counter.
  auto giveBack = [&](const std::string& owner, std::vector<RecordStore::Leftover> numbers,
                      SerialState state) {
    std::map<std::string, std::vector<std::uint64_t>> byCounter;
    for (const RecordStore::Leftover& row : numbers)
      byCounter[row.unit.counter].push_back(*row.unit.serial);
    for (const auto& [counter, list] : byCounter) {
      if (!Do(
              store_,
              [counter = counter, list = list, owner, state](RecordStore& s, StoreError& e) {
                return s.ReturnNumbers(counter, list, owner, state, e);
              },
              error)) {
        return false;
      }
      (state == SerialState::kReleased ? report.released : report.spoiled) += list.size();
    }
    return true;
  };
  auto rowsOf = [&](const std::string& owner) {
    std::vector<RecordStore::Leftover> mine;
    for (auto it = rows->begin(); it != rows->end();) {
      if (it->owner == owner) {
        mine.push_back(std::move(*it));
        it = rows->erase(it);
      } else {
        ++it;
      }
    }
    return mine;
  };
  // With its journal, what each unit came to is known exactly.
  for (const Journal::Orphan& orphan : orphans) {
    const std::string owner = OwnerOf(orphan);
    std::vector<RecordStore::Leftover> held = rowsOf(owner);
    std::string refusal;
    for (const JournalEntry& journaled : orphan.units) {
      JournalEntry entry = journaled;
      // Killed between its reservation and the journal's line of it: the store's row
      // names the unit and its number, which the part never received.
      if (!entry.unit.serial) {
        for (const RecordStore::Leftover& row : held) {
          if (row.unit.unitId == entry.unit.unitId) {
            entry.unit.serial = row.unit.serial;
            entry.unit.counter = row.unit.counter;
          }
        }
      }
      const Attempt attempt = Replayed(entry, setup_.language);
      if (!Do(
              store_,
              [attempt, owner](RecordStore& s, StoreError& e) {
                return s.SettleAndRecord(attempt, owner, e);
              },
              error)) {
        if (!error.refused()) return false;
        if (refusal.empty()) refusal = error.text;
        error = StoreError{};
        continue;
      }
      report.replayed.push_back(attempt);
      std::erase_if(held, [&](const RecordStore::Leftover& row) {
        return row.unit.counter == attempt.counter && row.unit.serial == attempt.serial;
      });
    }
    // What the journal never gave to a unit never reached a part.
    if (!giveBack(owner, held, SerialState::kReleased)) return false;
    if (refusal.empty()) {
      journal_.Forget(orphan);
    } else {
      // One refused unit stops no station: the journal is kept for a person to check.
      report.setAside.push_back(
          {orphan.file, journal_.PutAside(orphan), refusal, orphan.units.size()});
    }
    gone.erase(owner);
    if (!Do(
            store_, [owner](RecordStore& s, StoreError& e) { return s.Release(owner, e); },
            error)) {
      return false;
    }
  }
  // Without its journal (its station ran elsewhere, or is away too long), how far each
  // unit came is unknown: the unit is recorded as a guess that its station's own record
  // replaces if it comes, its number may be on a part and is never issued again.
  for (const std::string& owner : gone) {
    std::vector<RecordStore::Leftover> held;
    for (RecordStore::Leftover& row : rowsOf(owner)) {
      if (row.held) {
        held.push_back(std::move(row));
        continue;
      }
      Attempt attempt = row.unit;
      attempt.ended = attempt.started;
      attempt.outcome = UnitOutcome::kBoardGone;
      attempt.verdict = UnitVerdict::kInterrupted;
      attempt.serialState = SerialState::kSpoiled;
      attempt.guess = true;
      attempt.reportText = Tr(
          setup_.language, "its station stopped during the unit: what the part holds is unknown");
      if (!Do(
              store_,
              [attempt, owner](RecordStore& s, StoreError& e) {
                return s.SettleAndRecord(attempt, owner, e);
              },
              error)) {
        return false;
      }
      report.replayed.push_back(attempt);
    }
    if (!giveBack(owner, held, SerialState::kSpoiled) ||
        !Do(
            store_, [owner](RecordStore& s, StoreError& e) { return s.Release(owner, e); },
            error)) {
      return false;
    }
  }
  return true;
}

StartReport ProductionRun::Start() {
  StartReport report = Begin();
  if (report.problem == StartReport::Problem::kNone && !keeper_.joinable() && !closed_) {
    keeper_ = std::thread([this] { KeepUp(); });
  }
  return report;
}

void ProductionRun::KeepUp() {
  // What the face was last told, as far as the keeper changes it.
  std::optional<
      std::tuple<bool, std::size_t, std::optional<std::size_t>, std::optional<std::uint64_t>>>
      told;
  while (!closed_) {
    ApplyAnswers();
    if (setup_.rule) TopUp();
    const RunState now = state();
    const auto seen = std::make_tuple(now.storeAway, now.waiting, now.numbersLeft, now.nextNumber);
    if (told != seen) {
      told = seen;
      Publish();
    }
    PostLive();
    std::unique_lock lock(shared_->mutex);
    shared_->changed.wait_for(lock, 200ms, [&] { return closed_.load(); });
  }
}

void ProductionRun::PostLive() {
  std::string live;
  {
    const std::lock_guard lock(shared_->mutex);
    const auto at = std::chrono::steady_clock::now();
    if (shared_->live == shared_->livePosted || at - shared_->livePostedAt < kLiveInterval) {
      return;
    }
    live = shared_->livePosted = shared_->live;
    shared_->livePostedAt = at;
  }
  // The lease carries it; the heartbeat sends it again every beat.
  if (store_.state().away) return;
  const std::string owner = journal_.owner();
  store_.Post([owner, live](RecordStore& s, StoreError& e) { s.Heartbeat(owner, live, e); });
}

StartReport ProductionRun::Begin() {
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
  // The lease: taken at every opening of the store, renewed while it answers, taken
  // again when another start gave it up for it while it was away.
  const LeaseHolder me = ThisProcess(journal_.owner(), setup_.station);
  store_.OnConnect([me](RecordStore& s, StoreError& e) { s.Claim(me, e); });
  std::weak_ptr<Shared> shared = shared_;
  store_.OnBeat([me, shared](RecordStore& s, StoreError& e) {
    std::string live;
    if (const auto held = shared.lock()) {
      const std::lock_guard lock(held->mutex);
      live = held->live;
    }
    if (!s.Heartbeat(me.owner, live, e) && e.refused()) {
      e = StoreError{};
      s.Claim(me, e);
    }
  });
  StoreError error;
  if (!store_.Open(error, kStoreWait) ||
      !Do(
          store_, [me](RecordStore& s, StoreError& e) { return s.Claim(me, e); }, error)) {
    return fail(StartReport::Problem::kStore, error.text);
  }
  if (!SettleLeftovers(report, error)) return fail(StartReport::Problem::kStore, error.text);
  if (!setup_.lot.empty()) {
    const std::string name = setup_.lot;
    const std::uint64_t quantity = setup_.quantity.value_or(0);
    const std::string job = setup_.job;
    const auto lot = Ask<Lot>(
        store_,
        [name, quantity, job](RecordStore& s, StoreError& e) -> std::optional<Lot> {
          Lot made;
          if (!s.EnsureLot(name, quantity, job, made, e)) return std::nullopt;
          return made;
        },
        error);
    if (!lot) return fail(StartReport::Problem::kStore, error.text);
    report.lot = lot;
    {
      const std::lock_guard lock(mutex_);
      lot_ = lot;
    }
    if (lot->quantity > 0 && static_cast<std::uint64_t>(lot->passed) >= lot->quantity) {
      return fail(StartReport::Problem::kLotComplete, {});
    }
  }
  if (!setup_.rule) {
    Publish();
    return report;
  }
  const std::string name = setup_.counter;
  const std::uint64_t start = setup_.serialStart.value_or(1);
  const std::uint64_t step = setup_.serialStep.value_or(1);
  const auto ensured = Ask<std::pair<Counter, bool>>(
      store_,
      [name, start, step](RecordStore& s,
                          StoreError& e) -> std::optional<std::pair<Counter, bool>> {
        Counter counter;
        bool made = false;
        if (!s.EnsureCounter(name, start, step, counter, made, e)) return std::nullopt;
        return std::make_pair(counter, made);
      },
      error);
  if (!ensured) return fail(StartReport::Problem::kStore, error.text);
  report.counter = ensured->first;
  report.newCounter = ensured->second;
  const Counter& counter = report.counter;
  if (!report.newCounter) {
    if (setup_.serialStart && counter.start && *counter.start != *setup_.serialStart) {
      return fail(StartReport::Problem::kCounterStart, {});
    }
    if (setup_.serialStep && counter.step != *setup_.serialStep) {
      return fail(StartReport::Problem::kCounterStep, {});
    }
  }
  if (setup_.blockTime) {
    blockTime_ = *setup_.blockTime;
  } else {
    const auto setting = Ask<long long>(
        store_, [](RecordStore& s, StoreError& e) { return s.Setting(kBlockSetting, e); }, error);
    if (error.kind != StoreError::Kind::kNone)
      return fail(StartReport::Problem::kStore, error.text);
    if (setting && *setting > 0) blockTime_ = std::chrono::seconds(*setting);
  }
  // The station's pace as its last units went, for the first block's size: a store that
  // goes away in the first minutes finds numbers held for them too.
  AttemptFilter recent;
  recent.station = setup_.station;
  recent.last = 20;
  if (const auto last = Ask<std::vector<Attempt>>(
          store_, [recent](RecordStore& s, StoreError& e) { return s.Attempts(recent, e); },
          error)) {
    const std::lock_guard lock(mutex_);
    for (const Attempt& unit : *last) {
      if (unit.outcome != UnitOutcome::kPass && unit.outcome != UnitOutcome::kFail) continue;
      if (unit.seconds <= 0) continue;
      ++unitsTimed_;
      unitSeconds_ += (unit.seconds - unitSeconds_) / unitsTimed_;
    }
  }
  error = StoreError{};  // without its history the station starts at the least block
  // The first block: the units of the first round, and more soon after.
  const std::size_t count =
      std::min(BlockTarget(), std::max(kRefillShare, 2 * setup_.ports.size()));
  const std::uint64_t largest = largest_;
  const std::string owner = me.owner;
  const std::string station = setup_.station;
  const auto block = Ask<std::vector<std::uint64_t>>(
      store_,
      [name, count, largest, owner, station](RecordStore& s, StoreError& e) {
        return s.ReserveBlock(name, count, largest, owner, station, e);
      },
      error);
  if (!block) return fail(StartReport::Problem::kStore, error.text);
  if (block->empty()) return fail(StartReport::Problem::kCounterFull, {});
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->block.assign(block->begin(), block->end());
    shared_->exhausted = block->size() < count;
    shared_->filling = count < BlockTarget();  // the rest comes a share at a time
    shared_->lastShare = std::chrono::steady_clock::now();
  }
  Publish();
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
  unit.lot = setup_.lot;
  unit.reading = setup_.reading;
  if (setup_.rule) unit.counter = setup_.counter;
  return unit;
}

void ProductionRun::TopUp() {
  const std::size_t target = BlockTarget();
  std::size_t count = 0;
  {
    // Half spent, the block is filled up again, kRefillShare numbers a request: the
    // counter is locked briefly, and the unit records queued behind a request wait for
    // little. Unless the block runs low, the shares come spread over a quarter of the
    // block's time, so that many stations filling their blocks at once (after a power
    // cut) leave the server room for their records.
    const std::lock_guard lock(shared_->mutex);
    if (shared_->refilling || shared_->exhausted) return;
    const std::size_t size = shared_->block.size();
    if (size * 2 <= target) shared_->filling = true;
    if (size >= target) shared_->filling = false;
    if (!shared_->filling) return;
    const auto now = std::chrono::steady_clock::now();
    const bool low = size * 10 <= target || size < 2 * setup_.ports.size();  // a minute left
    const std::size_t shares = std::max<std::size_t>(1, target / kRefillShare);
    const auto pause = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        blockTime_ / (4.0 * static_cast<double>(shares)));
    if (!low && now - shared_->lastShare < pause) return;
    shared_->lastShare = now;
    count = std::min(target - size, kRefillShare);
    shared_->refilling = true;
  }
  const std::string name = setup_.counter;
  const std::uint64_t largest = largest_;
  const std::string owner = journal_.owner();
  const std::string station = setup_.station;
  std::weak_ptr<Shared> weak = shared_;
  store_.Post(
      [name, count, largest, owner, station, weak](RecordStore& s, StoreError& e) {
        const auto numbers = s.ReserveBlock(name, count, largest, owner, station, e);
        const auto shared = weak.lock();
        if (!numbers || !shared) return;
        const std::lock_guard lock(shared->mutex);
        for (const std::uint64_t number : *numbers)
          shared->block.insert(std::upper_bound(shared->block.begin(), shared->block.end(), number),
                               number);
        shared->exhausted = numbers->size() < count;
        shared->refilling = false;
        shared->changed.notify_all();
      },
      [weak](const StoreError& e) {
        const auto shared = weak.lock();
        if (!shared || !e.refused()) return;
        const std::lock_guard lock(shared->mutex);
        shared->refilling = false;
      });
}

std::optional<std::uint64_t> ProductionRun::TakeNumber(Attempt& unit) {
  std::optional<std::uint64_t> number;
  {
    std::unique_lock lock(shared_->mutex);
    if (shared_->block.empty() && !shared_->exhausted && !store_.state().away) {
      // The block ran dry before its refill came: the store answers, so it comes soon.
      lock.unlock();
      TopUp();
      lock.lock();
      shared_->changed.wait_for(lock, kStoreWait, [&] {
        return !shared_->block.empty() || !shared_->refilling || closed_;
      });
    }
    if (!shared_->block.empty()) {
      number = shared_->block.front();
      shared_->block.pop_front();
    }
  }
  if (!number) {
    // No number: the station stops between units, and says why.
    bool exhausted = false;
    {
      const std::lock_guard lock(shared_->mutex);
      exhausted = shared_->exhausted;
    }
    const std::lock_guard lock(mutex_);
    if (why_ == End::Why::kDone) {
      why_ = exhausted ? End::Why::kNumbersExhausted : End::Why::kBlockSpent;
    }
    return std::nullopt;
  }
  unit.serial = number;
  std::string error;
  // On the disk before the part is touched: a number a unit took is never given again.
  if (!journal_.Write(JournalStage::kReserved, unit, error)) {
    {
      const std::lock_guard lock(shared_->mutex);
      shared_->block.push_front(*number);
    }
    unit.serial.reset();
    const std::lock_guard lock(mutex_);
    why_ = End::Why::kJournal;
    journalError_ = error;
    return std::nullopt;
  }
  TopUp();
  Publish();
  return number;
}

void ProductionRun::Settle(UnitEnd& end) {
  const Attempt& record = end.record;
  // What the unit learned is on disk before the store hears of it.
  end.journaled = journal_.Write(JournalStage::kEnded, record, end.journalError);
  if (!end.journaled) {
    const std::lock_guard lock(mutex_);
    unsaved_.push_back(end);
  }
  const std::string id = record.unitId;
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->waiting.insert(id);
    shared_->posted.insert(id);
  }
  const std::string owner = journal_.owner();
  std::weak_ptr<Shared> weak = shared_;
  store_.Post(
      [record, owner](RecordStore& s, StoreError& e) { s.SettleAndRecord(record, owner, e); },
      [weak, id](const StoreError& e) {
        const auto shared = weak.lock();
        if (!shared) return;
        const std::lock_guard lock(shared->mutex);
        shared->answers[id] = e;
        shared->changed.notify_all();
      });
  std::optional<StoreError> answer;
  {
    std::unique_lock lock(shared_->mutex);
    // A store known to be away is not waited for: the record waits in the journal.
    if (!store_.state().away) {
      shared_->changed.wait_for(lock, kSettleWait,
                                [&] { return shared_->answers.count(id) > 0 || closed_; });
    }
    shared_->waiting.erase(id);
    if (const auto it = shared_->answers.find(id); it != shared_->answers.end()) {
      answer = it->second;
      shared_->answers.erase(it);
      shared_->posted.erase(id);
    }
  }
  if (!answer) {
    const StoreService::State store = store_.state();
    end.storeError =
        store.away ? store.error : Tr(setup_.language, "the store has not answered yet");
    return;
  }
  std::string error;
  if (answer->kind == StoreError::Kind::kNone) {
    end.stored = true;
    journal_.Write(JournalStage::kConfirmed, record, error);
  } else {
    // The store holds something else for this unit: its outcome is kept aside.
    end.storeError = answer->text;
    if (end.journaled) journal_.PutAside(JournalEntry{JournalStage::kEnded, record}, error);
  }
  const std::lock_guard lock(mutex_);
  if (!end.stored) refused_.emplace_back(record, answer->text);
  std::erase_if(unsaved_, [&](const UnitEnd& u) { return u.record.unitId == id; });
}

void ProductionRun::ApplyAnswers() {
  std::map<std::string, StoreError> answers;
  {
    const std::lock_guard lock(shared_->mutex);
    for (auto it = shared_->answers.begin(); it != shared_->answers.end();) {
      if (shared_->waiting.count(it->first)) {
        ++it;
        continue;
      }
      answers.insert(*it);
      shared_->posted.erase(it->first);
      it = shared_->answers.erase(it);
    }
  }
  if (answers.empty()) return;
  std::map<std::string, Attempt> units;
  for (const JournalEntry& entry : journal_.Unconfirmed())
    units[entry.unit.unitId] = entry.unit;
  std::string error;
  for (const auto& [id, answer] : answers) {
    Attempt unit;
    if (const auto it = units.find(id); it != units.end()) unit = it->second;
    {
      const std::lock_guard lock(mutex_);
      for (auto it = unsaved_.begin(); it != unsaved_.end(); ++it) {
        if (it->record.unitId != id) continue;
        unit = it->record;
        unsaved_.erase(it);
        break;
      }
    }
    if (unit.unitId.empty()) continue;
    if (answer.kind == StoreError::Kind::kNone) {
      journal_.Write(JournalStage::kConfirmed, unit, error);
    } else {
      journal_.PutAside(JournalEntry{JournalStage::kEnded, unit}, error);
      const std::lock_guard lock(mutex_);
      refused_.emplace_back(unit, answer.text);
    }
  }
  Publish();
}

void ProductionRun::PostPending() {
  std::string error;
  // Units that the journal could not hold: on the disk now, if it has room again.
  std::vector<Attempt> retry;
  {
    const std::lock_guard lock(mutex_);
    for (const UnitEnd& unsaved : unsaved_)
      retry.push_back(unsaved.record);
  }
  for (const Attempt& unit : retry) {
    if (!journal_.Write(JournalStage::kEnded, unit, error)) continue;
    const std::lock_guard lock(mutex_);
    std::erase_if(unsaved_, [&](const UnitEnd& u) { return u.record.unitId == unit.unitId; });
  }
  // What this process's journal holds and the store does not: sent once more.
  const std::string owner = journal_.owner();
  std::weak_ptr<Shared> weak = shared_;
  for (const JournalEntry& entry : journal_.Unconfirmed()) {
    if (entry.stage != JournalStage::kEnded) continue;
    const std::string id = entry.unit.unitId;
    {
      const std::lock_guard lock(shared_->mutex);
      if (!shared_->posted.insert(id).second) continue;
    }
    const Attempt record = entry.unit;
    store_.Post(
        [record, owner](RecordStore& s, StoreError& e) { s.SettleAndRecord(record, owner, e); },
        [weak, id](const StoreError& e) {
          const auto shared = weak.lock();
          if (!shared) return;
          const std::lock_guard lock(shared->mutex);
          shared->answers[id] = e;
          shared->changed.notify_all();
        });
  }
}

namespace {

// The unit's hooks: its phases reach the face; its number and what the journal must hold
// before the part is touched come from the run.
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

bool ProductionRun::MayGoOn() const {
  if (stop_ || closed_) return false;
  const std::lock_guard lock(mutex_);
  if (why_ != End::Why::kDone) return false;
  return !(lot_ && lot_->quantity > 0 &&
           static_cast<std::uint64_t>(lot_->passed) >= lot_->quantity);
}

void ProductionRun::RunPortUnit(std::size_t port, PortOrder* order, bool found,
                                std::optional<bool> placed) {
  // A lot takes no more units than it has parts left to pass.
  const bool lotComplete = placed ? !*placed : !TakeLotPlace();
  if (lotComplete) {
    if (order) order->Pass(port);
    SetPortLive(port, StationLive::Port::State::kIdle, std::nullopt, std::nullopt);
    observer_.OnLotComplete(port);
    return;
  }
  SetPortLive(port, StationLive::Port::State::kWorking, std::nullopt, std::nullopt);
  Engine& engine = ports_[port]->engine;
  observer_.OnUnitStart(port);
  UnitEnd end;
  Attempt& unit = end.record;
  unit = NewUnit(port);
  std::string journalError;
  const bool journaled = journal_.Write(JournalStage::kBegun, unit, journalError);

  RunHooks hooks(port, observer_, stop_);
  hooks.takeNumber = [&]() -> std::optional<std::uint64_t> {
    if (order) order->WaitTurn(port);
    const auto number = TakeNumber(unit);
    if (order) order->Done(port);
    if (number) {
      SetPortLive(port, StationLive::Port::State::kWorking, number, std::nullopt);
      observer_.OnNumber(port, *number);
    }
    return number;
  };
  hooks.noNumber = [&] {
    if (order) order->Pass(port);
  };
  hooks.beforeProgramming = [&] {
    std::string error;
    return journal_.Write(JournalStage::kProgramming, unit, error);
  };

  UnitRequest request;
  request.image = &setup_.image;
  request.rule = setup_.rule ? &*setup_.rule : nullptr;
  request.resume = setup_.resume;
  request.reading = setup_.reading;
  request.refuseComplete = true;  // a unit is a part burned now
  const ResetMethod reset = found ? ResetMethod{ResetMethod::Kind::kFound, {}} : setup_.reset;
  if (journaled) {
    end.result = RunUnit(engine, portFactory_, setup_.ports[port], reset, request, hooks);
  } else {
    // Nothing is burned without the journal: the station stops and says why.
    if (request.rule && order) order->Pass(port);
    end.result.noNumber = true;
    end.result.verdict = UnitVerdict::kFileFailed;
    end.result.findings.failure = journalError;
    const std::lock_guard lock(mutex_);
    why_ = End::Why::kJournal;
    journalError_ = journalError;
  }
  const UnitResult& r = end.result;
  if (r.noNumber) {
    // Nothing was sent to the part: there is nothing to record but why.
    if (journaled) {
      std::string error;
      journal_.Write(JournalStage::kConfirmed, unit, error);
    }
    {
      const std::lock_guard lock(mutex_);
      --inFlight_;
      end.counters = counters_;
    }
    SetPortLive(port, StationLive::Port::State::kIdle, std::nullopt, std::nullopt);
    observer_.OnUnitEnd(port, end);
    return;
  }
  unit.ended = IsoNow(clock_);
  unit.outcome = OutcomeOf(r);
  unit.verdict = r.verdict;
  if (unit.serial) {
    // A number whose part received nothing goes back; one that may be on a part never.
    unit.serialState =
        unit.outcome == UnitOutcome::kPass
            ? SerialState::kUsed
            : (r.programBlocksSent > 0 ? SerialState::kSpoiled : SerialState::kReleased);
  }
  unit.reportId = r.findings.failureId;
  unit.reportText =
      unit.outcome == UnitOutcome::kPass ? std::string() : FailureText(r, setup_.language);
  unit.firstDifference = r.findings.firstDifference;
  unit.failedBlock = r.failedBlock;
  unit.seconds = r.seconds;
  {
    const std::lock_guard lock(mutex_);
    --inFlight_;
    switch (unit.outcome) {
      case UnitOutcome::kPass:
        ++counters_.passed;
        if (lot_) ++lot_->passed;
        break;
      case UnitOutcome::kFail:
        ++counters_.failed;
        break;
      case UnitOutcome::kPortProblem:
        break;  // no unit counted
      default:
        ++counters_.other;
        break;
    }
    lastOutcomes_[port] = unit.outcome;
    if (unit.outcome == UnitOutcome::kPass || unit.outcome == UnitOutcome::kFail) {
      // The station's pace, for the numbers it holds ahead.
      ++unitsTimed_;
      unitSeconds_ += (r.seconds - unitSeconds_) / std::min(unitsTimed_, 20);
    }
  }
  Settle(end);
  end.counters = counters();
  observer_.OnUnitEnd(port, end);
  SetPortLive(port, StationLive::Port::State::kEnded, unit.serial, unit.outcome);
}

ProductionRun::End ProductionRun::Finish(int failedUnits) {
  ApplyAnswers();
  End end;
  end.lastUnitsFailed = failedUnits;
  for (const JournalEntry& entry : journal_.Unconfirmed()) {
    if (entry.stage == JournalStage::kEnded) end.waiting.push_back(entry.unit);
  }
  const StoreService::State store = store_.state();
  if (store.away) end.storeError = store.error;
  const std::lock_guard lock(mutex_);
  end.why = why_;
  end.journalError = journalError_;
  if (end.why == End::Why::kDone && lot_ && lot_->quantity > 0 &&
      static_cast<std::uint64_t>(lot_->passed) >= lot_->quantity) {
    end.why = End::Why::kLotComplete;
  }
  for (const UnitEnd& unsaved : unsaved_)
    end.unsaved.push_back(unsaved.record);
  end.refused.swap(refused_);
  return end;
}

ProductionRun::End ProductionRun::RunPorts(const std::function<void(std::size_t)>& unitsOn) {
  PostPending();
  // A thread a port; meanwhile the keeper writes the store's late answers into the
  // journal and keeps the block and the faces up to date.
  std::vector<std::function<void()>> jobs;
  for (std::size_t i = 0; i < ports_.size(); ++i)
    jobs.push_back([i, &unitsOn] { unitsOn(i); });
  portFactory_.RunOnThreads(jobs, {});
  int failed = 0;
  for (const UnitOutcome outcome : LastOutcomes())
    failed += outcome == UnitOutcome::kPass ? 0 : 1;
  return Finish(failed);
}

ProductionRun::End ProductionRun::Round() {
  {
    const std::lock_guard lock(mutex_);
    // What stopped the last round for want of numbers is looked at again.
    if (why_ == End::Why::kBlockSpent) why_ = End::Why::kDone;
  }
  // A Stop asked before the round began holds: no unit starts.
  if (!MayGoOn()) return Finish(0);
  PortOrder order(ports_.size());
  // The lot's last places go to the first ports, whichever port's thread runs first.
  std::vector<char> placed(ports_.size());
  for (std::size_t port = 0; port < ports_.size(); ++port)
    placed[port] = TakeLotPlace() ? 1 : 0;
  return RunPorts([this, &order, &placed](std::size_t port) {
    RunPortUnit(port, &order, false, placed[port] != 0);
  });
}

bool ProductionRun::TakeLotPlace() {
  const std::lock_guard lock(mutex_);
  if (lot_ && lot_->quantity > 0 &&
      static_cast<std::uint64_t>(lot_->passed + inFlight_) >= lot_->quantity) {
    return false;
  }
  ++inFlight_;
  return true;
}

bool ProductionRun::LookForBoard(std::size_t port) {
  CWriter& writer = ports_[port]->engine.writer();
  const PortTarget& target = setup_.ports[port];
  bool told = false;
  bool problemTold = false;
  while (MayGoOn()) {
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
      SetPortLive(port, StationLive::Port::State::kWaiting, std::nullopt, std::nullopt);
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
  {
    const std::lock_guard lock(mutex_);
    if (why_ == End::Why::kBlockSpent) why_ = End::Why::kDone;
  }
  if (!MayGoOn()) return Finish(0);
  return RunPorts([this](std::size_t port) {
    while (MayGoOn() && LookForBoard(port))
      RunPortUnit(port, nullptr, true);
  });
}

void ProductionRun::Close(std::chrono::milliseconds deadline) {
  if (closed_.exchange(true)) return;
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->changed.notify_all();
  }
  if (keeper_.joinable()) keeper_.join();
  ApplyAnswers();
  std::vector<std::uint64_t> left;
  {
    const std::lock_guard lock(shared_->mutex);
    left.assign(shared_->block.begin(), shared_->block.end());
    shared_->block.clear();
  }
  // The numbers no unit took go back, and the lease is given up: at most `deadline`.
  StoreError error;
  const std::string counter = setup_.counter;
  const std::string owner = journal_.owner();
  const bool returned =
      left.empty() || Do(
                          store_,
                          [counter, left, owner](RecordStore& s, StoreError& e) {
                            return s.ReturnNumbers(counter, left, owner, SerialState::kReleased, e);
                          },
                          error, deadline);
  // When they could not go back, the journal stays: a later start here learns from it
  // that no unit took them.
  if (!returned) {
    journal_.Keep();
    return;
  }
  if (journal_.Unconfirmed().empty()) {
    Do(
        store_, [owner](RecordStore& s, StoreError& e) { return s.Release(owner, e); }, error,
        deadline);
  }
}

}  // namespace otp
