// Measures the production run's own cost with many ports: a station of 1 and then of N
// ports (default 32) on fake lines that take each byte's wire time for real at 19200
// bit/s (10 bits a byte), each line with its simulated board in this process, a store in
// memory. Prints each unit's time against the same unit on one port (the worst and the
// mean difference) and the process's CPU time over the round's wall time.
//
// usage: bench_ports [PORTS]

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "chip/ChipTable.h"
#include "link/SerialPort.h"
#include "ops/Production.h"
#include "sim/TargetBoard.h"
#include "tests/support/FakeStore.h"
#include "tests/support/TempDir.h"

namespace {

using namespace otp;
using Steady = std::chrono::steady_clock;

std::int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             Steady::now().time_since_epoch())
      .count();
}

void SleepUntil(std::int64_t us) {
  const std::int64_t now = NowUs();
  if (us > now) std::this_thread::sleep_for(std::chrono::microseconds(us - now));
}

// A line to a board in this process that takes the wire's time for real: a write returns
// when its bytes have left, a read when the bytes it asks for have come (or its time-out).
class PacedPort final : public SerialPort {
 public:
  explicit PacedPort(sim::TargetBoard& board) : board_(board) {}
  ConfigResult Configure(std::int32_t baud) override {
    byteUs_ = 1'000'000LL * kBitsPerByte / baud;
    board_.SetByteTime(byteUs_);
    return ConfigResult::kOk;
  }
  ReadResult Read(std::uint8_t* buffer, std::size_t count) override {
    const std::int64_t limit = NowUs() + timeouts::ReadLimit(count).count() * 1000;
    std::size_t got = 0;
    auto& output = board_.output();
    // One sleep for all the bytes that come in time, not one a byte.
    std::size_t due = 0;
    std::int64_t last = NowUs();
    while (due < count && due < output.size()) {
      const std::int64_t at = output[due].atUs;
      const std::int64_t gap = due == 0 ? limit : last + timeouts::kReadInterval.count() * 1000;
      if (at > std::min(limit, gap)) break;
      last = at;
      ++due;
    }
    SleepUntil(due > 0 ? last : limit);
    for (; got < due; ++got) {
      buffer[got] = output.front().byte;
      output.pop_front();
    }
    return ReadResult{true, got};
  }
  std::size_t Write(const std::uint8_t* data, std::size_t count) override {
    std::int64_t at = std::max(NowUs(), lineFree_);
    for (std::size_t i = 0; i < count; ++i) {
      at += byteUs_;
      board_.Receive(data[i], at);
    }
    lineFree_ = at;
    SleepUntil(at);
    return count;
  }
  bool SetDtr(bool asserted) override {
    if (!asserted) board_.Reset();
    return true;
  }
  void Purge(bool, bool receive) override {
    if (!receive) return;
    auto& output = board_.output();
    while (!output.empty() && output.front().atUs <= NowUs())
      output.pop_front();
  }

 private:
  sim::TargetBoard& board_;
  std::int64_t byteUs_ = 0;
  std::int64_t lineFree_ = 0;
};

class PacedBench final : public SerialPortFactory {
 public:
  explicit PacedBench(std::size_t ports) : boards_(ports) {}
  std::unique_ptr<SerialPort> Open(const std::string& device) override {
    return std::make_unique<PacedPort>(boards_[std::stoul(device)]);
  }
  void Fresh() {
    for (sim::TargetBoard& board : boards_)
      board.memory().fill(0xFF);
  }

 private:
  std::vector<sim::TargetBoard> boards_;
};

class Quiet final : public RunObserver {
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
  void OnUnitEnd(std::size_t port, const UnitEnd& end) override {
    const std::lock_guard lock(mutex);
    seconds[port] = end.result.seconds;
    outcomes[port] = end.record.outcome;
  }
  std::mutex mutex;
  std::map<std::size_t, double> seconds;
  std::map<std::size_t, UnitOutcome> outcomes;

 private:
  View view_;
};

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Round {
  std::vector<double> seconds;
  double wall = 0;
  double cpu = 0;
  int passed = 0;
};

Round Run(std::size_t ports) {
  test::TempDir dir;
  dir.Write("m_otp.150", std::string(200, 'm'));
  RunSetup setup;
  setup.moduleDir = dir.dir();
  setup.imageName = "app.mhx";
  setup.image.fill(0xFF);
  for (std::uint32_t a = 0xC000; a < 0xC400; ++a)
    setup.image[a] = static_cast<std::uint8_t>(a);
  setup.station = "bench";
  for (std::size_t i = 0; i < ports; ++i)
    setup.ports.push_back(PortTarget{"P" + std::to_string(i), std::to_string(i), &ChipTable()[1], 2});
  SerialRuleError why{};
  setup.rule = ParseSerialRule("0xFFF0:be32", why);
  test::FakeStore store;
  StoreService service(store.Opener());
  std::string error;
  auto journal = Journal::Open(dir / "journals", Journal::NewOwner(), error);
  PacedBench bench(ports);
  SystemClock clock;
  Quiet face;
  ProductionRun run(setup, service, *journal, bench, clock, face);
  run.Start();
  bench.Fresh();
  const auto began = Steady::now();
  const double cpu = CpuSeconds();
  run.Round();
  Round round;
  round.wall = std::chrono::duration<double>(Steady::now() - began).count();
  round.cpu = CpuSeconds() - cpu;
  for (const auto& [port, seconds] : face.seconds) {
    round.seconds.push_back(seconds);
    round.passed += face.outcomes[port] == UnitOutcome::kPass ? 1 : 0;
  }
  run.Close();
  return round;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t ports = argc > 1 ? std::stoul(argv[1]) : 32;
  const Round one = Run(1);
  const Round many = Run(ports);
  double worst = 0;
  double mean = 0;
  for (const double s : many.seconds) {
    const double off = (s - one.seconds.front()) / one.seconds.front();
    worst = std::max(worst, std::abs(off));
    mean += off / static_cast<double>(many.seconds.size());
  }
  std::printf("1 port: unit %.3f s (%d passed); CPU %.3f s over %.2f s (%.2f %% of a core)\n",
              one.seconds.front(), one.passed, one.cpu, one.wall, 100 * one.cpu / one.wall);
  std::printf("%zu ports: %d passed; units %+.3f %% on the mean, %.3f %% at worst against one "
              "port; CPU %.3f s over %.2f s (%.2f %% of a core)\n",
              ports, many.passed, 100 * mean, 100 * worst, many.cpu, many.wall,
              100 * many.cpu / many.wall);
  return 0;
}
