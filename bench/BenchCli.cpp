// Measures otpwriter-cli as a whole process:
//  - `info` on a 20 MB S-record file (the median of 10 runs), beside srec_cat reading the
//    same file into a binary image, when srec_cat is installed;
//  - `program` of a full 16 KiB image at 19200 bit/s against the paced simulated board:
//    the time over the wire time of every byte of its passes (download, burn plan,
//    program, compare), and the tool's CPU time over its wall time.
// With --gang N [--baud 19200|2400], instead: `program` of the full image on one port, then
// on N ports at once, each its own paced board, measured in the same run.
//
// usage: bench_cli CLI SIMULATOR [--gang N [--baud BAUD]]

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/SRecords.h"

extern char** environ;

namespace {

using Steady = std::chrono::steady_clock;

struct Measured {
  int status = -1;
  double seconds = 0;
  double cpu = 0;  // user + system of the process
};

// Starts `args` with standard output thrown away, and standard input and error too
// when `quiet`; its process, or -1.
pid_t Spawn(std::vector<std::string> args, bool quiet) {
  std::vector<char*> argv;
  for (auto& arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (quiet) {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Runs `args` with its output thrown away, to its end.
Measured RunTimed(std::vector<std::string> args) {
  Measured measured;
  const auto start = Steady::now();
  const pid_t pid = Spawn(std::move(args), true);
  if (pid < 0) return measured;
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  measured.seconds = std::chrono::duration<double>(Steady::now() - start).count();
  measured.cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                 (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  measured.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return measured;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

// An image that writes every byte of the 64 blocks of the OTP area.
void WriteFullImage(const std::string& path) {
  std::ofstream out(path);
  for (std::uint32_t a = 0xC000; a < 0x10000; a += 32) {
    std::vector<std::uint8_t> data(32);
    for (std::size_t k = 0; k < data.size(); ++k)
      data[k] = static_cast<std::uint8_t>((a + k) * 7 & 0x7F);
    out << otp::test::Record('1', a, data) << '\n';
  }
}

// Starts a paced board at `link` (every byte on the line written to `trace`, when given);
// its process.
pid_t StartBoard(const std::string& simulator, const std::string& link,
                 const std::string& trace = {}) {
  std::vector<std::string> args = {simulator, "--link", link, "--pace"};
  if (!trace.empty()) args.insert(args.end(), {"--trace", trace});
  const pid_t pid = Spawn(args, false);
  for (int i = 0; i < 200 && !std::filesystem::exists(link); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return pid;
}

// program of the full image on one port, then on `count` ports at once.
int Gang(const std::string& cli, const std::string& simulator, int count, int baud) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("otp-bench-gang-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string full = (dir / "full.mhx").string();
  WriteFullImage(full);
  std::ofstream(dir / "m_otp.630", std::ios::binary) << std::string(2048, '\x5A');
  std::ofstream(dir / "m_otp.150", std::ios::binary) << std::string(2048, '\x5A');
  const char* model = baud == 2400 ? "KT47C630A" : "KT47C150";
  const char* clock = baud == 2400 ? "2MHz" : "8MHz";
  auto run = [&](int ports, const std::string& tag) {
    std::vector<pid_t> boards;
    std::string list;
    for (int i = 0; i < ports; ++i) {
      const std::string link = (dir / ("tty" + tag + std::to_string(i))).string();
      boards.push_back(StartBoard(simulator, link));
      list += (i ? "," : "") + link;
    }
    const Measured measured =
        RunTimed({cli, "--settings", (dir / "none.txt").string(), "--monitor-dir", dir.string(),
                  "--reset", "none", "-m", model, "-c", clock, "-p", list, "program", full});
    for (const pid_t board : boards) {
      kill(board, SIGTERM);
      waitpid(board, nullptr, 0);
    }
    return measured;
  };
  const Measured one = run(1, "one");
  const Measured many = run(count, "many");
  std::printf(
      "program, full image, %d bit/s: 1 port %.3f s (exit %d); %d ports %.3f s (exit %d), "
      "ratio %.4f; CPU over the %d-port job %.2f%% of one core\n",
      baud, one.seconds, one.status, count, many.seconds, many.status, many.seconds / one.seconds,
      count, 100 * many.cpu / many.seconds);
  std::filesystem::remove_all(dir);
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 3 && argc != 5 && argc != 7) {
    std::fprintf(stderr, "usage: bench_cli CLI SIMULATOR [--gang N [--baud BAUD]]\n");
    return 2;
  }
  const std::string cli = argv[1];
  const std::string simulator = argv[2];
  if (argc >= 5) {
    return Gang(cli, simulator, std::atoi(argv[4]), argc == 7 ? std::atoi(argv[6]) : 19200);
  }
  const auto dir =
      std::filesystem::temp_directory_path() / ("otp-bench-cli-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);

  // 20 MB of records of 32 bytes, most of them overwriting each other.
  const std::string big = (dir / "big.mhx").string();
  {
    std::ofstream out(big);
    out << "S00600004844521B\n";
    std::size_t size = 0;
    for (std::uint32_t i = 0; size < 20'000'000; ++i) {
      const std::uint32_t address = 0xC000 + (i * 32) % 0x4000;
      std::vector<std::uint8_t> data(32);
      for (std::size_t k = 0; k < data.size(); ++k)
        data[k] = static_cast<std::uint8_t>(address + k + i);
      const std::string line = otp::test::Record('1', address, data) + "\n";
      out << line;
      size += line.size();
    }
    out << "S9030000FC\n";
  }
  std::vector<double> info;
  for (int i = 0; i < 10; ++i)
    info.push_back(RunTimed({cli, "info", big}).seconds);
  std::printf("info, 20 MB S-record file:       %7.1f ms (median of 10)\n", Median(info) * 1000);
  for (const char* srecCat : {"/usr/bin/srec_cat", "/usr/local/bin/srec_cat"}) {
    if (!std::filesystem::exists(srecCat)) continue;
    std::vector<double> reference;
    for (int i = 0; i < 3; ++i) {
      reference.push_back(
          RunTimed({srecCat, big, "-multiple", "-o", (dir / "big.bin").string(), "-binary"})
              .seconds);
    }
    std::printf("srec_cat, the same file:         %7.1f ms (median of 3)\n",
                Median(reference) * 1000);
    break;
  }

  // A full image: every byte of the 64 blocks written.
  const std::string full = (dir / "full.mhx").string();
  WriteFullImage(full);
  std::ofstream(dir / "m_otp.150", std::ios::binary) << std::string(2048, '\x5A');
  const std::string link = (dir / "ttyBOARD").string();
  std::ofstream(dir / "DATAFILE.TXT") << "[Ports]\nCOM1=" << link << "\n";
  const std::string trace = (dir / "trace.txt").string();
  const pid_t sim = StartBoard(simulator, link, trace);
  if (sim < 0) {
    std::fprintf(stderr, "cannot start %s\n", simulator.c_str());
    return 1;
  }
  const Measured program =
      RunTimed({cli, "--settings", (dir / "DATAFILE.TXT").string(), "--monitor-dir", dir.string(),
                "--reset", "none", "-m", "KT47C150", "-c", "8MHz", "-p", "COM1", "program", full});
  kill(sim, SIGTERM);
  waitpid(sim, nullptr, 0);
  // Download: handshake, frame, monitor, sum and three replies; the burn plan and compare:
  // frame, reply and the 257-byte answer for each block; program: frame, reply, data, sum
  // and status for each block.
  const long bytes = (1 + 6 + 2048 + 1 + 3) + 2 * 64L * (6 + 1 + 257) + 64L * (6 + 1 + 257 + 1);
  const double wire = bytes * 10.0 / 19200;
  std::printf(
      "program, full image, 19200 bit/s: %7.3f s, on the wire %7.3f s, ratio %.4f, "
      "CPU %.2f%% of wall, exit %d\n",
      program.seconds, wire, program.seconds / wire, 100 * program.cpu / program.seconds,
      program.status);
  // The tool's own gaps: from the board's last byte of an answer to the start of the
  // tool's next byte on the line (the trace times a byte at its end: one byte time later).
  std::ifstream lines(trace);
  double last = -1, gaps = 0, slowest = 0;
  int turns = 0;
  bool boardSpoke = false;
  for (std::string line; std::getline(lines, line);) {
    const double time = std::atof(line.c_str());
    const bool fromBoard = line.find("board>host") != std::string::npos;
    if (!fromBoard && boardSpoke && last >= 0) {
      const double gap = std::max(0.0, time - 10.0 / 19200 - last);
      gaps += gap;
      slowest = std::max(slowest, gap);
      ++turns;
    }
    boardSpoke = fromBoard;
    last = time;
  }
  std::printf(
      "  the tool's gaps: %.3f s over %d turns of the line (%.2f ms each, the longest %.2f ms), "
      "%.2f%% of the wire time\n",
      gaps, turns, turns ? 1000 * gaps / turns : 0.0, 1000 * slowest, 100 * gaps / wire);
  std::filesystem::remove_all(dir);
  return 0;
}
