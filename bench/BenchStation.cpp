// Measures the station window against otpwriter-cli produce in the same run: 8 simulated
// boards paced at 19200 bit/s, a full image with serial numbers (a job). First one round of
// produce, then one round of the station window (in this process, the boards in processes
// of their own): each unit's time in the window over the same port's unit from produce,
// and this process's CPU time over the window's round.
//
// usage: bench_station CLI SIMULATOR [PORTS] [image]
//   image: the job reads only the image's blocks, and its image is 1.3 KB of code

#include <signal.h>
#include <sys/resource.h>

#include <unistd.h>
#include <QApplication>
#include <QEventLoop>
#include <QTabWidget>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/StationWindow.h"
#include "ops/job/Job.h"
#include "store/ProductionStore.h"
#include "tests/support/Process.h"
#include "tests/support/SRecords.h"
#include "tests/support/TempDir.h"

namespace {

using namespace otp;

// The CPU time of each thread of this process, by its name, in seconds.
std::map<std::string, double> ThreadSeconds() {
  std::map<std::string, double> seconds;
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream stat(task.path() / "stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    const auto open = line.find('(');
    if (close == std::string::npos || open == std::string::npos) continue;
    const std::string name = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    std::vector<std::string> fields;
    while (rest >> field)
      fields.push_back(field);
    if (fields.size() < 13) continue;
    const bool main = task.path().filename() == std::to_string(getpid());
    seconds[main ? "window (main thread)" : name] +=
        (std::stod(fields[11]) + std::stod(fields[12])) / tick;
  }
  return seconds;
}

// Voluntary and involuntary context switches of the main thread.
long Switches() {
  std::ifstream status("/proc/self/status");
  std::string line;
  long total = 0;
  while (std::getline(status, line)) {
    if (line.find("ctxt_switches") != std::string::npos)
      total += std::stol(line.substr(line.find(':') + 1));
  }
  return total;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Fresh boards: a simulator each, paced at the bit rate the host sets.
std::vector<std::unique_ptr<test::Process>> Boards(const std::string& simulator,
                                                   const test::TempDir& dir, int count) {
  std::vector<std::unique_ptr<test::Process>> boards;
  for (int i = 0; i < count; ++i) {
    const auto link = dir / ("tty" + std::to_string(i));
    std::filesystem::remove(link);
    boards.push_back(std::make_unique<test::Process>(
        simulator, std::vector<std::string>{"--link", link.string(), "--pace"}));
    test::WaitForFile(link);
  }
  return boards;
}

std::map<std::string, double> UnitSeconds(const std::string& db, const std::string& station) {
  StoreError error;
  ProductionStore::Options reading;
  reading.access = ProductionStore::Access::kRead;
  auto store = ProductionStore::Open(db, error, reading);
  std::map<std::string, double> seconds;
  AttemptFilter filter;
  filter.station = station;
  const auto attempts = store->Attempts(filter, error);
  for (const Attempt& a : attempts.value_or(std::vector<Attempt>{})) {
    if (a.outcome == otp::UnitOutcome::kPass) seconds[a.port] = a.seconds;
  }
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_station CLI SIMULATOR [PORTS]\n");
    return 2;
  }
  const std::string cli = argv[1];
  const std::string simulator = argv[2];
  const int count = argc > 3 ? std::atoi(argv[3]) : 8;
  const bool imageOnly = argc > 4 && std::string(argv[4]) == "image";
  test::TempDir dir;
  dir.Write("m_otp.150", std::string(600, 'm'));
  // A full image: every byte of the area, but the serial number's.
  std::string records;
  for (std::uint32_t address = 0xC000; address < (imageOnly ? 0xC540u : 0xFFF0u); address += 16) {
    std::vector<std::uint8_t> bytes(16);
    for (std::size_t i = 0; i < bytes.size(); ++i)
      bytes[i] = static_cast<std::uint8_t>((address + i) * 7);
    records += test::Record('1', address, bytes) + "\n";
  }
  dir.Write("full.mhx", records);
  JobRequest request;
  request.name = "BENCH";
  request.model = &ChipTable()[1];
  request.rate = 2;
  request.file = (dir / "full.mhx").string();
  request.serial = "0xFFF0:be32";
  if (imageOnly) request.reading = ReadMode::kImage;
  JobMade made = MakeJob(request, Language::kEnglish);
  if (!made.problem.empty()) {
    std::fprintf(stderr, "%s\n", made.problem.c_str());
    return 1;
  }
  dir.Write("bench.otpjob", JobText(made.job));
  std::string ports = "[Ports]\n";
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    names.push_back("COM" + std::to_string(i + 1));
    ports += names.back() + "=" + (dir / ("tty" + std::to_string(i))).string() + "\n";
  }
  dir.Write("DATAFILE.TXT", ports);
  const std::string db = (dir / "production.db").string();

  // One round of produce.
  {
    auto boards = Boards(simulator, dir, count);
    std::vector<std::string> args = {"--settings",
                                     (dir / "DATAFILE.TXT").string(),
                                     "--monitor-dir",
                                     dir.path().string(),
                                     "--db",
                                     db,
                                     "--station",
                                     "cli",
                                     "produce",
                                     "--job",
                                     (dir / "bench.otpjob").string()};
    for (const std::string& name : names)
      args.insert(args.begin(), {"-p", name});
    test::Process produce(cli, args, "\nq\n");
    const auto began = std::chrono::steady_clock::now();
    if (produce.Wait() != 0) {
      std::fprintf(stderr, "produce failed: %s\n", produce.Errors().c_str());
      return 1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("produce process: %.2f s CPU over %.1f s: %.2f%% of one core\n",
                produce.cpuSeconds(), seconds, 100 * produce.cpuSeconds() / seconds);
  }
  // One round of the station window.
  double cpu = 0;
  double wall = 0;
  {
    auto boards = Boards(simulator, dir, count);
    StationArguments choices;
    choices.ports = names;
    choices.db = db;
    choices.job = (dir / "bench.otpjob").string();
    WriterEnvironment environment;
    environment.programDir = dir.path().string();
    environment.language = Language::kEnglish;
    StationWindow window(choices, environment);
    window.resize(1280, 800);
    window.show();
    while (!window.ready()) {
      QApplication::processEvents(QEventLoop::AllEvents, 20);
      if (!window.problem().empty()) {
        std::fprintf(stderr, "%s\n", window.problem().c_str());
        return 1;
      }
    }
    // The station's own name is the host's: its units are told apart by the CLI's.
    const double cpuBefore = CpuSeconds();
    const long switchesBefore = Switches();
    const auto began = std::chrono::steady_clock::now();
    window.OnStart();
    // The window's own event loop runs; a look every tenth of a second sees its end.
    QEventLoop loop;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
      if (!window.controller()->busy() && window.controller()->Figures().run.total() >= count) {
        loop.quit();
      }
    });
    look.start(100);
    // An operator's click every second: from the moment it is queued until
    // the tab it switches to is painted.
    auto* tabs = window.findChild<QTabWidget*>("tabs");
    double slowest = 0;
    int clicks = 0;
    QTimer click;
    QObject::connect(&click, &QTimer::timeout, [&] {
      const auto queued = std::chrono::steady_clock::now();
      QMetaObject::invokeMethod(
          &window,
          [&, queued] {
            tabs->setCurrentIndex(1 - tabs->currentIndex());
            tabs->repaint();
            slowest = std::max(slowest, std::chrono::duration<double, std::milli>(
                                            std::chrono::steady_clock::now() - queued)
                                            .count());
            ++clicks;
          },
          Qt::QueuedConnection);
    });
    click.start(1000);
    loop.exec();
    click.stop();
    std::printf("  %d clicks answered, the slowest in %.1f ms (at most 100)\n", clicks, slowest);
    wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    cpu = CpuSeconds() - cpuBefore;
    std::printf("  main thread: %ld context switches in the round\n", Switches() - switchesBefore);
    for (const auto& [name, seconds] : ThreadSeconds())
      std::printf("  thread %-22s %6.2f s CPU (since the process began)\n", name.c_str(), seconds);
  }
  auto byCli = UnitSeconds(db, "cli");
  StoreError error;
  std::map<std::string, double> byWindow;
  {
    ProductionStore::Options reading;
    reading.access = ProductionStore::Access::kRead;
    auto store = ProductionStore::Open(db, error, reading);
    const auto attempts = store->Attempts({}, error);
    for (const Attempt& a : attempts.value_or(std::vector<Attempt>{})) {
      if (a.station != "cli" && a.outcome == otp::UnitOutcome::kPass) byWindow[a.port] = a.seconds;
    }
  }
  std::printf("%-6s %10s %10s %8s\n", "port", "produce", "window", "ratio");
  double worst = 0;
  for (const std::string& name : names) {
    const double ratio = byWindow[name] / byCli[name];
    worst = std::max(worst, ratio);
    std::printf("%-6s %9.2fs %9.2fs %8.4f\n", name.c_str(), byCli[name], byWindow[name], ratio);
  }
  std::printf("worst unit ratio %.4f (at most 1.01)\n", worst);
  // The window's own bound: 5 % of a core for up to 8 tiles, 10 % for up to 16.
  const int bound = count > 8 ? 10 : 5;
  std::printf("window process: %.2f s CPU over %.1f s: %.2f%% of one core (at most %d%%)\n", cpu,
              wall, 100 * cpu / wall, bound);
  return 0;
}
