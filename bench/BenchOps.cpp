// Runs every operation (and the burn plan) over the whole OTP area against the simulated board,
// paced at the real bit rate on a pseudo-terminal, and prints for each the time it took, the time
// its bytes need on the wire (10 bits a byte), their ratio, and the process's CPU time over its
// wall time. The board runs as a program of its own, so the CPU time is the tool's.
//
// usage: bench_ops [--rate BAUD] [SIMULATOR]

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "chip/ChipTable.h"
#include "core/ResultReporter.h"
#include "link/QtSerialPort.h"
#include "ops/CWriter.h"

extern char** environ;

namespace {

using Steady = std::chrono::steady_clock;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A view without a window: notes when a result appears and acknowledges it at once.
class BenchView final : public otp::OperationView {
 public:
  void SetStatus(const std::string& text) override { status = text; }
  void SetStatusIcon(unsigned) override {}
  void SetButtonText(const std::string& text) override {
    if (text == "Ok" && !shown) {
      shown = true;
      shownAt = Steady::now();
      cpuAtShown = CpuSeconds();
      checks = 0;
    }
  }
  void SetRange(int, int) override {}
  void SetStep(int) override {}
  void SetPos(int) override {}
  void StepIt() override {}
  int CheckCancelButton() override { return shown && ++checks > 1 ? 1 : 0; }
  int CheckContinueButton() override { return 0; }
  void ShowContinueButton(bool) override {}
  void MessageBox(const std::string&, const std::string&, otp::BoxIcon) override {}
  bool AskYesNo(const std::string&, const std::string&) override { return false; }

  std::string status;
  bool shown = false;
  int checks = 0;
  Steady::time_point shownAt;
  double cpuAtShown = 0;
};

struct Case {
  int row;   // chip table row
  int rate;  // speed entry
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  int onlyRate = 0;
  std::filesystem::path simulatorPath =
      std::filesystem::path(argv[0]).parent_path() / "otp-target-sim";
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--rate" && i + 1 < argc) {
      onlyRate = std::atoi(argv[++i]);
    } else {
      simulatorPath = argv[i];
    }
  }
  // Absolute: a Download makes the program's folder the current one.
  const std::string simulator = std::filesystem::absolute(simulatorPath).string();
  std::printf("%-6s %-15s %10s %12s %7s %9s  %s\n", "bit/s", "operation", "measured", "on the wire",
              "ratio", "CPU/wall", "result");
  for (const Case c : {Case{0, 0}, Case{1, 2}}) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("otp-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string link = (dir / "ttyBOARD").string();
    otp::ChipSpec spec;
    spec.Assign(otp::ChipTable()[c.row]);
    const int baud = *spec.BaudFor(c.rate);
    if (onlyRate != 0 && baud != onlyRate) continue;

    // A 2,048-byte monitor, and an image that fills every block of the area.
    std::ofstream(dir / std::string(spec.m_strMonitorFile)) << std::string(2048, '\x6B');
    {
      std::ofstream image(dir / "full.mhx");
      for (std::uint32_t a = 0xC000; a < 0x10000; a += 32) {
        unsigned sum = 35 + (a >> 8) + (a & 0xFF);
        char line[128];
        int n = std::snprintf(line, sizeof(line), "S123%04X", a);
        for (int i = 0; i < 32; ++i) {
          const unsigned value = (a + i * 7) & 0x7F;
          sum += value;
          n += std::snprintf(line + n, sizeof(line) - n, "%02X", value);
        }
        std::snprintf(line + n, sizeof(line) - n, "%02X\n", ~sum & 0xFF);
        image << line;
      }
    }

    pid_t sim = 0;
    std::vector<std::string> args{simulator, "--link", link, "--pace"};
    std::vector<char*> argvSim;
    for (auto& arg : args)
      argvSim.push_back(arg.data());
    argvSim.push_back(nullptr);
    if (posix_spawn(&sim, simulator.c_str(), nullptr, nullptr, argvSim.data(), environ) != 0) {
      std::fprintf(stderr, "cannot start %s\n", simulator.c_str());
      return 1;
    }
    for (int i = 0; i < 200 && !std::filesystem::exists(link); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    BenchView view;
    otp::SystemClock clock;
    otp::CWriter* writerPtr = nullptr;
    otp::ResultReporter reporter(view, clock, otp::Language::kEnglish,
                                 [&] { writerPtr->link.Close(); });
    otp::CWriter writer(view, reporter, clock);
    writerPtr = &writer;
    writer.spec = spec;
    writer.m_strModuleDir = dir.string() + "/";
    otp::QtSerialPortFactory ports;

    struct Operation {
      const char* name;
      std::function<void()> run;
      long wireBytes;
    };
    const std::string image = (dir / "full.mhx").string();
    const Operation operations[] = {
        {"Download", [&] { writer.Download(ports, link, c.rate); }, 1 + 6 + 2048 + 1 + 3},
        {"Blank Check", [&] { writer.BlankCheck(); }, 64L * (6 + 1 + 257)},
        {"Burn plan",
         [&] {
           otp::BurnPlan plan;
           writer.RunCheckAgainstDevice(image, plan);
         },
         64L * (6 + 1 + 257)},
        {"Program+Verify", [&] { writer.RunProgramVerify(image); }, 64L * (6 + 1 + 257 + 1)},
        {"Read+Compare", [&] { writer.RunReadCompare(image); }, 64L * (6 + 1 + 257)},
    };
    for (const Operation& operation : operations) {
      view.shown = false;
      const auto start = Steady::now();
      const double cpuStart = CpuSeconds();
      operation.run();
      const double seconds = std::chrono::duration<double>(view.shownAt - start).count();
      const double wire = operation.wireBytes * 10.0 / baud;
      std::string result = view.status;
      for (char& ch : result) {
        if (ch == '\n') ch = ' ';
      }
      std::printf("%-6d %-15s %8.3f s %10.3f s %7.4f %8.2f%%  %s\n", baud, operation.name, seconds,
                  wire, seconds / wire, 100 * (view.cpuAtShown - cpuStart) / seconds,
                  result.c_str());
      std::fflush(stdout);
    }
    writer.link.Close();
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    std::filesystem::remove_all(dir);
  }
  return 0;
}
