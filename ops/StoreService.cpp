#include "ops/StoreService.h"

#include <algorithm>

namespace otp {

namespace {

using Steady = std::chrono::steady_clock;

// A call and its answer: shared by the caller, who may stop waiting, and the service.
struct CallState {
  StoreService::Job job;
  bool done = false;
  bool abandoned = false;
  StoreService::Answer answer = StoreService::Answer::kDone;
  StoreError error;
};

struct Posted {
  StoreService::Job job;
  std::function<void(const StoreError&)> done;
};

}  // namespace

struct StoreService::Core {
  Opener opener;
  Options options;

  mutable std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::shared_ptr<CallState>> calls;
  std::deque<Posted> posts;
  Job onConnect;
  Job onBeat;
  std::function<void()> onChange;
  bool toldAway = true;  // what onChange last told
  bool started = false;  // the service's thread runs
  bool closing = false;
  bool finished = false;
  bool kick = false;  // open again now, without waiting for the pause to end
  long attempts = 0;  // openings tried
  State state{true, "not opened yet", Steady::now()};

  // Only the service's thread touches the store.
  std::unique_ptr<RecordStore> store;

  void Loop();
  // With `lock` held: tells onChange, without the lock, that the store went away or came
  // back since it last told.
  void TellChange(std::unique_lock<std::mutex>& lock) {
    if (state.away == toldAway) return;
    toldAway = state.away;
    const auto changed = onChange;
    if (!changed) return;
    lock.unlock();
    changed();
    lock.lock();
  }
  // With the lock held: the store is away; every waiting call hears it.
  void Away(const std::string& why) {
    if (!state.away) state.since = Steady::now();
    state.away = true;
    state.error = why;
    for (const auto& call : calls) {
      call->done = true;
      call->answer = Answer::kAway;
      call->error.Set(StoreError::Kind::kUnavailable, why);
    }
    calls.clear();
    changed.notify_all();
  }
};

void StoreService::Core::Loop() {
  auto pause = options.firstPause;
  auto nextBeat = Steady::now() + options.beat;
  std::unique_lock lock(mutex);
  while (!closing) {
    if (!store) {
      lock.unlock();
      StoreError error;
      std::unique_ptr<RecordStore> opened = opener(error);
      if (opened && onConnect) {
        onConnect(*opened, error);
        if (error.kind != StoreError::Kind::kNone) opened.reset();
      }
      lock.lock();
      ++attempts;
      if (opened) {
        store = std::move(opened);
        state.away = false;
        state.error.clear();
        pause = options.firstPause;
        nextBeat = Steady::now() + options.beat;
        changed.notify_all();
        TellChange(lock);
        continue;
      }
      Away(error.text.empty() ? std::string("the store cannot be opened") : error.text);
      TellChange(lock);
      changed.wait_for(lock, pause, [this] { return closing || kick; });
      kick = false;
      pause = std::min(pause * 2, options.longestPause);
      continue;
    }
    // The store answers: calls first, then what was posted, then the heartbeat.
    std::shared_ptr<CallState> call;
    bool posted = false;
    Job job;
    if (!calls.empty()) {
      call = calls.front();
      calls.pop_front();
      if (call->abandoned) continue;
      job = call->job;
    } else if (!posts.empty()) {
      posted = true;
      job = posts.front().job;
    } else if (Steady::now() >= nextBeat) {
      nextBeat = Steady::now() + options.beat;
      job = onBeat;
    } else {
      changed.wait_until(lock, nextBeat,
                         [this] { return closing || !calls.empty() || !posts.empty(); });
      continue;
    }
    if (!job) continue;
    lock.unlock();
    StoreError error;
    job(*store, error);
    const bool dropped = error.unavailable();
    if (dropped) store.reset();  // opened again at once, on this thread
    lock.lock();
    if (call) {
      call->done = true;
      call->answer = Answer::kDone;
      call->error = error;
    }
    if (posted && !dropped && !posts.empty()) {
      const Posted done = std::move(posts.front());
      posts.pop_front();
      if (done.done) {
        lock.unlock();
        done.done(error);
        lock.lock();
      }
    }
    if (dropped) Away(error.text);
    changed.notify_all();
    TellChange(lock);
  }
  lock.unlock();
  store.reset();
  lock.lock();
  for (const auto& waiting : calls) {
    waiting->done = true;
    waiting->answer = Answer::kClosed;
  }
  calls.clear();
  finished = true;
  changed.notify_all();
}

StoreService::StoreService(Opener opener) : StoreService(std::move(opener), Options()) {}

StoreService::StoreService(Opener opener, Options options) : core_(std::make_shared<Core>()) {
  core_->opener = std::move(opener);
  core_->options = options;
}

StoreService::~StoreService() {
  Close(std::chrono::seconds(1));
}

bool StoreService::Open(StoreError& error, std::chrono::milliseconds deadline) {
  Core& c = *core_;
  std::unique_lock lock(c.mutex);
  if (c.closing) {
    error.Set(StoreError::Kind::kUnavailable, "the store is closed");
    return false;
  }
  const long before = c.attempts;
  if (!c.started) {
    // The service's thread begins with the first opening. It owns what it uses: a thread
    // held up by a server that does not answer ends by itself after the service.
    c.started = true;
    std::shared_ptr<Core> core = core_;
    std::thread([core] { core->Loop(); }).detach();
  } else {
    c.kick = true;
    c.changed.notify_all();
  }
  c.changed.wait_for(lock, deadline,
                     [&] { return c.closing || c.attempts > before || !c.state.away; });
  if (!c.state.away) return true;
  error.Set(StoreError::Kind::kUnavailable, c.state.error);
  return false;
}

StoreService::Answer StoreService::Call(Job job, std::chrono::milliseconds deadline,
                                        StoreError& error) {
  Core& c = *core_;
  std::unique_lock lock(c.mutex);
  if (c.closing || c.finished || !c.started) {
    error.Set(StoreError::Kind::kUnavailable, "the store is closed");
    return Answer::kClosed;
  }
  if (c.state.away) {
    error.Set(StoreError::Kind::kUnavailable, c.state.error);
    return Answer::kAway;
  }
  auto call = std::make_shared<CallState>();
  call->job = std::move(job);
  c.calls.push_back(call);
  c.changed.notify_all();
  // A close ends every wait: the call may still run, and is left to itself.
  if (!c.changed.wait_for(lock, deadline, [&] { return call->done || c.closing; })) {
    call->abandoned = true;
    error.Set(
        StoreError::Kind::kUnavailable,
        "the store did not answer within " +
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(deadline).count()) +
            " s");
    return Answer::kLate;
  }
  if (!call->done) {
    call->abandoned = true;
    error.Set(StoreError::Kind::kUnavailable, "the store is closed");
    return Answer::kClosed;
  }
  error = call->error;
  return call->answer;
}

void StoreService::Post(Job job, std::function<void(const StoreError& error)> done) {
  Core& c = *core_;
  const std::lock_guard lock(c.mutex);
  if (c.closing) return;
  c.posts.push_back(Posted{std::move(job), std::move(done)});
  c.changed.notify_all();
}

std::size_t StoreService::Pending() const {
  const std::lock_guard lock(core_->mutex);
  return core_->posts.size();
}

void StoreService::OnConnect(Job job) {
  const std::lock_guard lock(core_->mutex);
  core_->onConnect = std::move(job);
}

void StoreService::OnBeat(Job job) {
  const std::lock_guard lock(core_->mutex);
  core_->onBeat = std::move(job);
}

void StoreService::OnChange(std::function<void()> changed) {
  const std::lock_guard lock(core_->mutex);
  core_->onChange = std::move(changed);
}

StoreService::State StoreService::state() const {
  const std::lock_guard lock(core_->mutex);
  return core_->state;
}

void StoreService::Close(std::chrono::milliseconds deadline) {
  Core& c = *core_;
  std::unique_lock lock(c.mutex);
  // Closed once: a later Close (the destructor's) waits no more.
  if (c.closing) return;
  c.closing = true;
  c.posts.clear();
  c.changed.notify_all();
  if (!c.started) return;
  // A thread stuck in a call to a server that does not answer is left to end by itself.
  c.changed.wait_for(lock, deadline, [&] { return c.finished; });
}

}  // namespace otp
