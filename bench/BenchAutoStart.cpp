// Measures produce --start auto against simulated fixtures at 19200 bit/s:
//  - 4 boards, each changed by a simulated operator who takes 1 to 3 s (random, seeded)
//    once a unit has ended: each port's units per hour beside 3600 / (the unit's wire time
//    + the operator's time), both measured in the run;
//  - 8 ports that look with nothing on them: the process's CPU time over its wall time.
//
// usage: bench_autostart CLI [SECONDS]

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "sim/PtyBoard.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace {

using namespace otp;
using Steady = std::chrono::steady_clock;

struct Fixture {
  std::unique_ptr<sim::TargetBoard> board;
  std::unique_ptr<sim::PtyBoard> pty;
  std::string link;
  std::atomic<long long> bytes{0};
};

std::vector<std::unique_ptr<Fixture>> Fixtures(const test::TempDir& dir, int count,
                                               sim::TargetBoard::Fixture fixture, bool in) {
  std::vector<std::unique_ptr<Fixture>> fixtures;
  for (int i = 0; i < count; ++i) {
    auto f = std::make_unique<Fixture>();
    f->board = std::make_unique<sim::TargetBoard>();
    fixture.seed = static_cast<std::uint32_t>(i + 1);
    f->board->SetFixture(fixture);
    if (!in) f->board->TakeOut();
    Fixture* raw = f.get();
    f->board->onTrace = [raw](const sim::TraceEntry&) { ++raw->bytes; };
    f->link = (dir / ("tty" + std::to_string(i))).string();
    f->pty = std::make_unique<sim::PtyBoard>(*f->board, sim::PtyBoard::Options{f->link, true});
    if (!f->pty->Start(nullptr)) return {};
    fixtures.push_back(std::move(f));
  }
  return fixtures;
}

std::vector<std::string> Produce(const test::TempDir& dir,
                                 const std::vector<std::unique_ptr<Fixture>>& fixtures) {
  std::vector<std::string> args = {"--settings",
                                   dir.Write("none.txt", "").string(),
                                   "--monitor-dir",
                                   dir.path().string(),
                                   "-m",
                                   "KT47C150",
                                   "-c",
                                   "8MHz",
                                   "--db",
                                   (dir / "production.db").string(),
                                   "--serial",
                                   "0xFFF0:be32",
                                   "--start",
                                   "auto",
                                   "-q"};
  for (const auto& f : fixtures)
    args.insert(args.end(), {"-p", f->link});
  args.insert(args.end(), {"produce", (dir / "app.mhx").string()});
  return args;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_autostart CLI [SECONDS]\n");
    return 2;
  }
  const std::string cli = argv[1];
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 240;
  test::TempDir dir;
  dir.Write("m_otp.150", std::string(600, 'm'));
  // Seven blocks of an image, as the demo's sample has.
  std::string records;
  for (std::uint32_t block : {0xC000u, 0xC100u, 0xC200u, 0xD000u, 0xE800u, 0xF000u, 0xFF00u}) {
    char line[80];
    std::snprintf(line, sizeof(line), "S107%04X5AA5C33C", block);
    unsigned sum = 7 + (block >> 8) + (block & 0xFF) + 0x5A + 0xA5 + 0xC3 + 0x3C;
    std::snprintf(line + 16, sizeof(line) - 16, "%02X\n", (~sum) & 0xFF);
    records += line;
  }
  dir.Write("app.mhx", records);

  // Four fixtures, an operator each.
  const std::int64_t gap = 200'000;
  {
    auto fixtures = Fixtures(dir, 4, {true, 1'000'000, 3'000'000, 1, gap}, true);
    if (fixtures.empty()) return 1;
    test::Process produce(cli, Produce(dir, fixtures));
    struct Change {
      Steady::time_point putIn;
      long long bytes;
    };
    std::vector<std::vector<Change>> changes(fixtures.size());
    std::vector<int> seen(fixtures.size(), 0);
    const auto end = Steady::now() + std::chrono::seconds(seconds);
    while (Steady::now() < end) {
      for (std::size_t i = 0; i < fixtures.size(); ++i) {
        const int putIn =
            fixtures[i]->pty->WithBoard([](sim::TargetBoard& b) { return b.boardsPutIn; });
        if (putIn != seen[i]) {
          seen[i] = putIn;
          changes[i].push_back({Steady::now(), fixtures[i]->bytes.load()});
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    produce.Signal(SIGINT);
    produce.Wait();
    std::printf(
        "4 ports, auto start, operator 1 to 3 s (+%.1f s for the fixture to see the "
        "unit's end), %d s:\n",
        gap / 1e6, seconds);
    std::printf("%-5s %6s %12s %12s %12s %8s\n", "port", "units", "wire s/unit", "measured/h",
                "expected/h", "ratio");
    for (std::size_t i = 0; i < fixtures.size(); ++i) {
      const auto& c = changes[i];
      // c[0] is the board in the fixture when the run began; the cycles from the first
      // change to the last are each a unit and a change of boards.
      if (c.size() < 4) continue;
      const int units = static_cast<int>(c.size()) - 2;
      const double span = std::chrono::duration<double>(c.back().putIn - c[1].putIn).count();
      const double wire = (c.back().bytes - c[1].bytes) * 10.0 / 19200 / units;
      const double measured = 3600.0 * units / span;
      // What the operator took: the out times the fixture drew (its seeded draws, replayed
      // here; the first was the change before c[1]), and the fixture's gap.
      std::uint32_t seed = static_cast<std::uint32_t>(i + 1);
      double drawn = 0;
      for (int k = 0; k <= units; ++k) {
        seed = seed * 1103515245u + 12345u;
        if (k > 0) drawn += 1.0 + ((seed >> 8) % 2'000'000u) / 1e6;
      }
      const double operatorMean = drawn / units + gap / 1e6;
      const double expected = 3600.0 / (wire + operatorMean);
      std::printf("%-5zu %6d %12.2f %12.1f %12.1f %8.4f\n", i + 1, units, wire, measured, expected,
                  measured / expected);
    }
  }

  // Eight ports looking at empty fixtures.
  {
    auto fixtures = Fixtures(dir, 8, {true, 0, 0, 1, gap}, false);
    if (fixtures.empty()) return 1;
    test::Process produce(cli, Produce(dir, fixtures));
    const auto began = Steady::now();
    std::this_thread::sleep_for(std::chrono::seconds(std::min(seconds, 30)));
    produce.Signal(SIGINT);
    produce.Wait();
    const double wall = std::chrono::duration<double>(Steady::now() - began).count();
    std::printf(
        "8 ports looking at empty fixtures: %.3f s CPU over %.1f s: %.3f%% of one core "
        "(at most 0.5%%)\n",
        produce.cpuSeconds(), wall, 100 * produce.cpuSeconds() / wall);
  }
  return 0;
}
