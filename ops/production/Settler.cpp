#include "ops/production/Settler.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

#include "core/Texts.h"

namespace otp::production {

struct RecordSettler::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::string, StoreError> answers;  // the store's answer to each unit's record
  std::set<std::string> waiting;              // units whose end waits for the answer
  std::set<std::string> posted;               // units sent to the store, not answered
  std::vector<Attempt> unsaved;               // ended units that the journal could not hold
  std::vector<std::pair<Attempt, std::string>> refused;  // units the store refused
  bool closed = false;
};

RecordSettler::RecordSettler(StoreService& store, Journal& journal, Clock& clock,
                             std::weak_ptr<Wakeup> wake, Language language)
    : store_(store),
      journal_(journal),
      clock_(clock),
      wake_(std::move(wake)),
      language_(language),
      shared_(std::make_shared<Shared>()) {}

namespace {

// Posts `record` to the store; its answer lands in `shared`'s answers.
template <typename SharedPtr>
void PostRecord(StoreService& store, const Attempt& record, const std::string& owner,
                const SharedPtr& shared, const std::weak_ptr<Wakeup>& wake) {
  std::weak_ptr weak = shared;
  const std::string id = record.unitId;
  store.Post(
      [record, owner](RecordStore& s, StoreError& e) { s.SettleAndRecord(record, owner, e); },
      [weak, wake, id](const StoreError& e) {
        const auto held = weak.lock();
        if (!held) return;
        {
          const std::lock_guard lock(held->mutex);
          held->answers[id] = e;
        }
        held->changed.notify_all();
        if (const auto keeper = wake.lock()) keeper->Nudge();
      });
}

}  // namespace

RecordSettler::Settled RecordSettler::Settle(const Attempt& record) {
  Settled settled;
  // What the unit learned is on disk before the store hears of it.
  settled.journaled = journal_.Write(JournalStage::kEnded, record, settled.journalError);
  const std::string id = record.unitId;
  {
    const std::lock_guard lock(shared_->mutex);
    if (!settled.journaled) shared_->unsaved.push_back(record);
    shared_->waiting.insert(id);
    shared_->posted.insert(id);
  }
  PostRecord(store_, record, journal_.owner(), shared_, wake_);
  std::optional<StoreError> answer;
  {
    std::unique_lock lock(shared_->mutex);
    Shared& s = *shared_;
    // A store known to be away is not waited for, nor one that goes away meanwhile: the
    // record waits in the journal.
    StoreService& store = store_;
    if (!store.state().away) {
      clock_.WaitUntil(lock, s.changed, clock_.Now() + kSettleWait, [&s, &id, &store] {
        return s.answers.count(id) > 0 || s.closed || store.state().away;
      });
    }
    s.waiting.erase(id);
    if (const auto it = s.answers.find(id); it != s.answers.end()) {
      answer = it->second;
      s.answers.erase(it);
      s.posted.erase(id);
    }
  }
  if (!answer) {
    const StoreService::State store = store_.state();
    settled.storeError = store.away ? store.error : Tr(language_, "the store has not answered yet");
    settled.place = settled.journaled ? RecordPlace::kJournal : RecordPlace::kNowhere;
    return settled;
  }
  Answered(record, *answer);
  settled.place =
      answer->kind == StoreError::Kind::kNone ? RecordPlace::kStored : RecordPlace::kRefused;
  settled.storeError = answer->text;
  return settled;
}

void RecordSettler::Answered(const Attempt& record, const StoreError& answer) {
  std::string error;
  if (answer.kind == StoreError::Kind::kNone) {
    journal_.Write(JournalStage::kConfirmed, record, error);
  } else {
    // The store holds something else for this unit: its outcome is kept aside.
    journal_.PutAside(JournalEntry{JournalStage::kEnded, record}, error);
  }
  const std::lock_guard lock(shared_->mutex);
  if (answer.kind != StoreError::Kind::kNone) shared_->refused.emplace_back(record, answer.text);
  std::erase_if(shared_->unsaved, [&](const Attempt& u) { return u.unitId == record.unitId; });
}

bool RecordSettler::ApplyAnswers() {
  std::map<std::string, StoreError> answers;
  std::vector<Attempt> unsaved;
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
    unsaved = shared_->unsaved;
  }
  if (answers.empty()) return false;
  std::map<std::string, Attempt> units;
  for (const JournalEntry& entry : journal_.Unconfirmed())
    units[entry.unit.unitId] = entry.unit;
  for (const Attempt& unit : unsaved)
    units[unit.unitId] = unit;
  for (const auto& [id, answer] : answers) {
    if (const auto it = units.find(id); it != units.end()) Answered(it->second, answer);
  }
  return true;
}

void RecordSettler::PostPending() {
  std::string error;
  // Units that the journal could not hold: on the disk now, if it has room again.
  std::vector<Attempt> retry;
  {
    const std::lock_guard lock(shared_->mutex);
    retry = shared_->unsaved;
  }
  for (const Attempt& unit : retry) {
    if (!journal_.Write(JournalStage::kEnded, unit, error)) continue;
    const std::lock_guard lock(shared_->mutex);
    std::erase_if(shared_->unsaved, [&](const Attempt& u) { return u.unitId == unit.unitId; });
  }
  // What this process's journal holds and the store does not: sent once more.
  for (const JournalEntry& entry : journal_.Unconfirmed()) {
    if (entry.stage != JournalStage::kEnded) continue;
    {
      const std::lock_guard lock(shared_->mutex);
      if (!shared_->posted.insert(entry.unit.unitId).second) continue;
    }
    PostRecord(store_, entry.unit, journal_.owner(), shared_, wake_);
  }
}

std::size_t RecordSettler::Waiting() const {
  std::size_t waiting = 0;
  for (const JournalEntry& entry : journal_.Unconfirmed())
    waiting += entry.stage == JournalStage::kEnded ? 1 : 0;
  const std::lock_guard lock(shared_->mutex);
  return waiting + shared_->unsaved.size();
}

std::vector<Attempt> RecordSettler::Unsaved() const {
  const std::lock_guard lock(shared_->mutex);
  return shared_->unsaved;
}

std::vector<std::pair<Attempt, std::string>> RecordSettler::TakeRefused() {
  const std::lock_guard lock(shared_->mutex);
  std::vector<std::pair<Attempt, std::string>> refused;
  refused.swap(shared_->refused);
  return refused;
}

void RecordSettler::StoreChanged() {
  { const std::lock_guard lock(shared_->mutex); }
  shared_->changed.notify_all();
}

void RecordSettler::Close() {
  {
    const std::lock_guard lock(shared_->mutex);
    shared_->closed = true;
  }
  shared_->changed.notify_all();
}

}  // namespace otp::production
