// Measures many stations on one store: 64 stations of 4 ports each in this process, the
// boards replaced by a pause as long as a unit's wire time (or none), each port recording
// unit after unit through its station's store service, as a station does:
//  - with blocks: the station holds numbers ahead (ten minutes of its pace, at least 64;
//    the next block asked for when half spent) and each unit takes one of them and is
//    recorded (SettleAndRecord);
//  - without blocks: each unit reserves its own number (Reserve), then is recorded.
// First at a factory's pace (a unit a second on every port: faster than any real unit),
// then without wire time, for what the server sustains. Prints the store's work a unit
// (from asking for its number to its record stored, a refill's wait included): median,
// p99 and largest; units a second; reservations a second (numbers and calls).
//
// usage: bench_stores STORE [SECONDS] [STATIONS]
//   STORE: an SQLite file or postgresql://USER@HOST:PORT/DB (the server's max_connections
//   must allow a connection a station).

#include <unistd.h>
#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "ops/StoreService.h"
#include "store/ProductionStore.h"

namespace {

using namespace otp;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

constexpr int kPorts = 4;
constexpr std::uint64_t kLargest = (std::uint64_t{1} << 62);

struct Totals {
  std::mutex mutex;
  std::vector<double> unitMs;
  std::atomic<long long> numbers{0};
  std::atomic<long long> calls{0};
  std::atomic<long long> failures{0};
};

class BenchStation {
 public:
  BenchStation(const std::string& location, std::string counter, int index, bool blocks,
               double unitSeconds, Totals& totals)
      : service_(ProductionStore::OpenerFor(location)),
        unitSeconds_(unitSeconds),
        block_size_(std::max<std::size_t>(
            64, unitSeconds > 0 ? static_cast<std::size_t>(600 / unitSeconds * kPorts) : 0)),
        counter_(std::move(counter)),
        index_(index),
        name_("bench-" + std::to_string(index)),
        owner_(name_ + "-" + std::to_string(::getpid())),
        blocks_(blocks),
        totals_(totals) {
    const LeaseHolder me{owner_, name_, "bench", "boot", ::getpid(), "0"};
    service_.OnConnect([me](RecordStore& s, StoreError& e) { s.Claim(me, e); });
  }
  bool Open() {
    StoreError error;
    if (service_.Open(error, 30s)) return true;
    std::fprintf(stderr, "%s\n", error.text.c_str());
    return false;
  }
  void Run(Steady::time_point end) {
    std::vector<std::thread> ports;
    for (int port = 0; port < kPorts; ++port)
      ports.emplace_back([this, port, end] { Port(port, end); });
    for (std::thread& t : ports)
      t.join();
  }
  void Close() { service_.Close(5s); }

 private:
  void Port(int port, Steady::time_point end) {
    std::vector<double> times;
    long long sequence = 0;
    // The ports begin spread over a unit's time, as boards put in one after the other, and
    // the stations each at a time of their own.
    if (unitSeconds_ > 0) {
      const double offset = (port + static_cast<double>(index_ % 16) / 16) / kPorts;
      std::this_thread::sleep_for(std::chrono::duration<double>(unitSeconds_ * offset));
    }
    while (Steady::now() < end) {
      if (unitSeconds_ > 0)
        std::this_thread::sleep_for(std::chrono::duration<double>(unitSeconds_));
      const auto began = Steady::now();
      Attempt unit;
      unit.unitId = owner_ + "-" + std::to_string(port) + "-" + std::to_string(++sequence);
      unit.started = "2026-12-08T10:00:00Z";
      unit.ended = unit.started;
      unit.station = name_;
      unit.port = "COM" + std::to_string(port + 1);
      unit.counter = counter_;
      unit.seconds = 1;
      const auto number = blocks_ ? FromBlock() : Reserve(unit);
      if (!number) {
        ++totals_.failures;
        continue;
      }
      unit.serial = number;
      unit.serialState = SerialState::kUsed;
      unit.outcome = UnitOutcome::kPass;
      StoreError error;
      const std::string owner = owner_;
      if (service_.Call(
              [unit, owner](RecordStore& s, StoreError& e) { s.SettleAndRecord(unit, owner, e); },
              10s, error) != StoreService::Answer::kDone ||
          error.kind != StoreError::Kind::kNone) {
        ++totals_.failures;
        continue;
      }
      times.push_back(std::chrono::duration<double, std::milli>(Steady::now() - began).count());
    }
    const std::lock_guard lock(totals_.mutex);
    totals_.unitMs.insert(totals_.unitMs.end(), times.begin(), times.end());
  }
  std::optional<std::uint64_t> Reserve(const Attempt& unit) {
    std::optional<std::uint64_t> number;
    StoreError error;
    const std::string owner = owner_;
    service_.Call(
        [&number, unit, owner](RecordStore& s, StoreError& e) {
          number = s.Reserve(unit, kLargest, owner, e);
        },
        10s, error);
    ++totals_.calls;
    if (number) ++totals_.numbers;
    return number;
  }
  // A number of the block; the port that finds it half spent asks for the next, and a
  // port that finds it empty waits for it.
  std::optional<std::uint64_t> FromBlock() {
    std::unique_lock lock(mutex_);
    // As a station does: half spent, the block is filled up again, 128 numbers a request,
    // spread over a quarter of the block's time unless it runs low.
    if (block_.size() * 2 <= block_size_) filling_ = true;
    if (block_.size() >= block_size_) filling_ = false;
    const bool low = block_.size() * 10 <= block_size_ || block_.size() < 2 * kPorts;
    const auto pause = std::chrono::duration<double>(
        600.0 / 4 / std::max<double>(1, static_cast<double>(block_size_ / 128)));
    if (filling_ && !refilling_ && (low || Steady::now() - lastShare_ >= pause)) {
      lastShare_ = Steady::now();
      refilling_ = true;
      const std::size_t count = std::min<std::size_t>(block_size_ - block_.size(), 128);
      lock.unlock();
      std::optional<std::vector<std::uint64_t>> numbers;
      StoreError error;
      const std::string counter = counter_, owner = owner_, station = name_;
      service_.Call(
          [&numbers, counter, count, owner, station](RecordStore& s, StoreError& e) {
            numbers = s.ReserveBlock(counter, count, kLargest, owner, station, e);
          },
          10s, error);
      ++totals_.calls;
      lock.lock();
      refilling_ = false;
      if (numbers) {
        totals_.numbers += static_cast<long long>(numbers->size());
        block_.insert(block_.end(), numbers->begin(), numbers->end());
      }
      changed_.notify_all();
    }
    changed_.wait_for(lock, 10s, [&] { return !block_.empty() || !refilling_; });
    if (block_.empty()) return std::nullopt;
    const std::uint64_t number = block_.front();
    block_.pop_front();
    return number;
  }

  StoreService service_;
  double unitSeconds_;
  std::size_t block_size_;
  std::string counter_;
  int index_;
  std::string name_;
  std::string owner_;
  bool blocks_;
  Totals& totals_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::uint64_t> block_;
  bool refilling_ = false;
  bool filling_ = false;
  Steady::time_point lastShare_{};
};

void Measure(const std::string& location, int stations, int seconds, bool blocks,
             double unitSeconds) {
  Totals totals;
  const std::string counter =
      std::string(blocks ? "blocks-" : "single-") + std::to_string(::getpid());
  {
    StoreError error;
    auto store = ProductionStore::OpenerFor(location)(error);
    Counter made;
    bool fresh = false;
    if (!store || !store->EnsureCounter(counter, 1, 1, made, fresh, error)) {
      std::fprintf(stderr, "%s\n", error.text.c_str());
      return;
    }
  }
  std::vector<std::unique_ptr<BenchStation>> all;
  for (int i = 0; i < stations; ++i) {
    all.push_back(
        std::make_unique<BenchStation>(location, counter, i, blocks, unitSeconds, totals));
    if (!all.back()->Open()) return;
  }
  const auto began = Steady::now();
  const auto end = began + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (auto& station : all)
    threads.emplace_back([&station, end] { station->Run(end); });
  for (std::thread& t : threads)
    t.join();
  const double wall = std::chrono::duration<double>(Steady::now() - began).count();
  for (auto& station : all)
    station->Close();
  std::vector<double>& ms = totals.unitMs;
  std::sort(ms.begin(), ms.end());
  auto at = [&](double q) {
    return ms.empty() ? 0.0 : ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * ms.size()))];
  };
  std::printf("%-6s %-13s %7zu %9.1f %8.1f %8.1f %8.1f %10.1f %9.1f %6lld\n",
              unitSeconds > 0 ? "1 s" : "none", blocks ? "blocks" : "a number each", ms.size(),
              ms.size() / wall, at(0.5), at(0.99), ms.empty() ? 0.0 : ms.back(),
              totals.numbers / wall, totals.calls / wall, totals.failures.load());
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_stores STORE [SECONDS] [STATIONS]\n");
    return 2;
  }
  const std::string location = argv[1];
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 30;
  const int stations = argc > 3 ? std::atoi(argv[3]) : 64;
  std::printf("%d stations x %d ports on %s, %d s each:\n", stations, kPorts,
              ProductionStore::Printable(location).c_str(), seconds);
  std::printf("%-6s %-13s %7s %9s %8s %8s %8s %10s %9s %6s\n", "wire", "numbers", "units",
              "units/s", "p50 ms", "p99 ms", "max ms", "numbers/s", "calls/s", "failed");
  for (const double unitSeconds : {1.0, 0.0}) {
    Measure(location, stations, seconds, true, unitSeconds);
    Measure(location, stations, seconds, false, unitSeconds);
  }
  return 0;
}
