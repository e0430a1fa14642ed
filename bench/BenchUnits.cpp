// Measures a unit against the wire: otpwriter-cli produce of units (a serial number each,
// each on a fresh board paced at the bit rate), for a 1.3 KB image and a full one, at 19200 and
// 4800 bit/s, reading the whole area and only the image's blocks. For each: the units'
// seconds (as the records say) over the wire time of every byte the units sent and
// received (the board's trace, 10 bits a byte), and the units an hour a port does at that
// pace.
//
// usage: bench_units CLI SIMULATOR [--small]   (--small: the 1.3 KB image only)

#include <signal.h>

#include <QCoreApplication>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "store/ProductionStore.h"
#include "tests/support/Process.h"
#include "tests/support/SRecords.h"
#include "tests/support/TempDir.h"

namespace {

using namespace otp;

struct Run {
  double unitSeconds = 0;  // all units
  long bytes = 0;          // on the line, both ways
  int units = 0;
};

// `units` units, each on a fresh board of its own (a simulator process), one produce each.
Run Produce(const std::string& cli, const std::string& simulator, const test::TempDir& dir,
            const std::string& image, const char* clock, const char* reading, int units) {
  static int round = 0;
  const std::string db = (dir / ("units" + std::to_string(++round) + ".db")).string();
  Run run;
  for (int unit = 0; unit < units; ++unit) {
    const std::string tag = std::to_string(round) + "-" + std::to_string(unit);
    const std::string link = (dir / ("tty" + tag)).string();
    const std::string trace = (dir / ("trace" + tag)).string();
    test::Process board(simulator, {"--link", link, "--pace", "--trace", trace});
    test::WaitForFile(link);
    test::Process produce(cli,
                          {"--settings", (dir / "none.txt").string(), "--monitor-dir",
                           dir.path().string(), "-m", "KT47C150", "-c", clock, "-p", link, "--db",
                           db, "--serial", "0xFFF0:be32", "--read", reading, "produce", image},
                          "\nq\n");
    const int status = produce.Wait();
    board.Signal(SIGTERM);
    board.Wait();
    if (status != 0) {
      std::fprintf(stderr, "produce failed (%d): %s\n", status, produce.Errors().c_str());
      return Run{};
    }
    std::ifstream lines(trace);
    for (std::string line; std::getline(lines, line);)
      ++run.bytes;
  }
  StoreError error;
  ProductionStore::Options read;
  read.access = ProductionStore::Access::kRead;
  auto store = ProductionStore::Open(db, error, read);
  for (const Attempt& a : store ? store->Attempts({}, error).value_or(std::vector<Attempt>{})
                                : std::vector<Attempt>{}) {
    if (a.outcome != UnitOutcome::kPass) continue;
    run.unitSeconds += a.seconds;
    ++run.units;
  }
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_units CLI SIMULATOR [--small]\n");
    return 2;
  }
  const std::string cli = argv[1];
  const std::string simulator = argv[2];
  test::TempDir dir;
  dir.Write("none.txt", "");
  dir.Write("m_otp.150", std::string(1024, 'm'));  // the size of the demo's monitor
  // 1.3 KB of code from 0xC000, and a full image (but the serial number's bytes).
  auto image = [&](const char* name, std::uint32_t end) {
    std::string records;
    for (std::uint32_t address = 0xC000; address < end; address += 16) {
      std::vector<std::uint8_t> bytes(16);
      for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>((address + i) * 7 & 0x7F);
      records += test::Record('1', address, bytes) + "\n";
    }
    return dir.Write(name, records).string();
  };
  const std::string small = image("small.mhx", 0xC000 + 1344);
  const std::string full = image("full.mhx", 0xFFF0);
  std::printf("%-10s %6s %-6s %6s %11s %11s %7s %10s\n", "image", "bit/s", "read", "units",
              "unit s", "wire s", "ratio", "units/h");
  const bool smallOnly = argc > 3 && std::string(argv[3]) == "--small";
  for (const auto& [name, file] : {std::pair{"1.3 KB", small}, std::pair{"full", full}}) {
    if (smallOnly && std::string(name) == "full") continue;
    for (const auto& [baud, clock] : {std::pair{19200, "8MHz"}, std::pair{4800, "2MHz"}}) {
      double perHour[2] = {0, 0};
      for (int r = 0; r < 2; ++r) {
        const char* reading = r == 0 ? "area" : "image";
        // Fewer units where each takes long.
        const int units = std::string(name) == "full" && baud == 4800 ? 1 : 3;
        const Run run = Produce(cli, simulator, dir, file, clock, reading, units);
        if (run.units == 0) {
          std::fprintf(stderr, "%s at %d bit/s, %s: no unit passed\n", name, baud, reading);
          return 1;
        }
        const double wire = run.bytes * 10.0 / baud;
        perHour[r] = 3600.0 * run.units / run.unitSeconds;
        std::printf("%-10s %6d %-6s %6d %11.2f %11.2f %7.4f %10.0f\n", name, baud, reading,
                    run.units, run.unitSeconds / run.units, wire / run.units,
                    run.unitSeconds / wire, perHour[r]);
      }
      std::printf("%-10s %6d units an hour, image over area: %.2f\n", name, baud,
                  perHour[1] / perHour[0]);
    }
  }
  return 0;
}
