// otp-target-sim: a simulated target board on a pseudo-terminal.

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/AtomicFile.h"
#include "core/Utf8Path.h"
#include "hexfile/FlashBuffer.h"
#include "hexfile/ImageFile.h"
#include "sim/PtyBoard.h"
#include "sim/TargetBoard.h"

namespace {

std::atomic<bool> gQuit{false};
std::atomic<bool> gReset{false};
std::atomic<bool> gFixture{false};

void OnQuit(int) {
  gQuit = true;
}
void OnReset(int) {
  gReset = true;
}
void OnFixture(int) {
  gFixture = true;
}

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: otp-target-sim --link PATH [options]\n"
               "Answers like a target board on a pseudo-terminal linked at PATH.\n"
               "  --link PATH          where to link the terminal's device (required)\n"
               "  --pace[=BAUD]        take 10 bits a byte on the line, at BAUD or at the bit\n"
               "                       rate the host set\n"
               "  --memory FILE        initial OTP contents from a binary file ...\n"
               "  --memory-base ADDR   ... placed at ADDR (default 0xC000)\n"
               "  --memory-srec FILE   initial OTP contents from an S-record file\n"
               "  --trace FILE         write every byte with its time to FILE (- for stdout)\n"
               "  --idle-timeout MS    abandon an unfinished transfer after MS of silence\n"
               "                       (default 500)\n"
               "  --fault RULE         inject a fault (may be given several times)\n"
               "  --fixture[=SECONDS]  the board sits in a fixture: its monitor answers a\n"
               "                       handshake byte as a broken frame, so only a board\n"
               "                       freshly put in answers it; with SECONDS, after each\n"
               "                       unit the board is taken out and a blank one put in\n"
               "                       SECONDS later\n"
               "  --dump FILE          write the OTP memory to FILE when it ends (S-record,\n"
               "                       Intel HEX for .hex and .ihx, raw for .bin)\n"
               "Signals: SIGUSR1 presses the board's reset button; SIGUSR2 takes the board\n"
               "out of the fixture, or puts a blank one in; SIGINT or SIGTERM ends.\n\n%s",
               otp::sim::FaultHelp().c_str());
}

bool LoadBinary(const std::string& path, long base, otp::sim::TargetBoard& board,
                std::string& error) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes(0x10001);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!in.is_open() || in.bad()) {
    error = "cannot read " + path;
    return false;
  }
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  if (base < 0 || base + static_cast<long>(bytes.size()) > 0x10000) {
    error = path + " does not fit into the 64 KiB memory at that address";
    return false;
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    board.memory()[static_cast<std::size_t>(base) + i] = static_cast<std::uint8_t>(bytes[i]);
  }
  return true;
}

// Preset memory from an S-record file, through the writer's own decoder: every record
// must lie inside the 64 KiB memory.
bool LoadSRecords(const std::string& path, otp::sim::TargetBoard& board, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path;
    return false;
  }
  const otp::ImageResult result = otp::ReadImage(in, 0x0000, 0xFFFF, board.memory());
  if (result.error != otp::ImageError::kNone) {
    error =
        path + ": " + otp::ImageErrorText(result) +
        (result.error == otp::ImageError::kBelowArea || result.error == otp::ImageError::kAboveArea
             ? " (outside 0x0000-0xFFFF)"
             : "");
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  otp::sim::PtyBoard::Options options;
  std::vector<otp::sim::Fault> faults;
  std::string memoryFile;
  std::string srecFile;
  std::string tracePath;
  std::string dumpFile;
  otp::sim::TargetBoard::Fixture fixture;
  long memoryBase = 0xC000;
  long idleTimeoutMs = 500;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* name) -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "otp-target-sim: %s needs a value\n", name);
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    } else if (arg == "--link") {
      options.linkPath = value("--link");
    } else if (arg == "--pace") {
      options.pace = true;
    } else if (arg.rfind("--pace=", 0) == 0) {
      options.pace = true;
      options.paceBaud = std::atoi(arg.c_str() + 7);
    } else if (arg == "--memory") {
      memoryFile = value("--memory");
    } else if (arg == "--memory-base") {
      memoryBase = std::strtol(value("--memory-base").c_str(), nullptr, 0);
    } else if (arg == "--memory-srec") {
      srecFile = value("--memory-srec");
    } else if (arg == "--trace") {
      tracePath = value("--trace");
    } else if (arg == "--idle-timeout") {
      idleTimeoutMs = std::strtol(value("--idle-timeout").c_str(), nullptr, 0);
    } else if (arg == "--fixture") {
      fixture.enabled = true;
    } else if (arg.rfind("--fixture=", 0) == 0) {
      fixture.enabled = true;
      const double seconds = std::strtod(arg.c_str() + 10, nullptr);
      if (seconds <= 0 || seconds > 3600) {
        std::fprintf(stderr, "otp-target-sim: --fixture=SECONDS takes 0.001 to 3600\n");
        return 2;
      }
      fixture.outUs = static_cast<std::int64_t>(seconds * 1e6);
    } else if (arg == "--dump") {
      dumpFile = value("--dump");
    } else if (arg == "--fault") {
      std::string error;
      const auto fault = otp::sim::ParseFault(value("--fault"), &error);
      if (!fault) {
        std::fprintf(stderr, "otp-target-sim: %s\n", error.c_str());
        return 2;
      }
      faults.push_back(*fault);
    } else {
      std::fprintf(stderr, "otp-target-sim: unknown option %s\n\n", arg.c_str());
      Usage(stderr);
      return 2;
    }
  }
  if (options.linkPath.empty()) {
    Usage(stderr);
    return 2;
  }

  otp::sim::TargetBoard board(faults);
  board.idleTimeoutUs = idleTimeoutMs * 1000;
  board.SetFixture(fixture);
  // The dump is written where the user asked, from the folder the command ran in; a file
  // that cannot be written is found before the board starts.
  if (!dumpFile.empty()) {
    const std::string why = otp::WritableFolderError(otp::PathFromUtf8(dumpFile));
    if (!why.empty()) {
      std::fprintf(stderr, "otp-target-sim: cannot write %s: %s\n", dumpFile.c_str(), why.c_str());
      return 2;
    }
  }
  std::string error;
  if ((!memoryFile.empty() && !LoadBinary(memoryFile, memoryBase, board, error)) ||
      (!srecFile.empty() && !LoadSRecords(srecFile, board, error))) {
    std::fprintf(stderr, "otp-target-sim: %s\n", error.c_str());
    return 2;
  }

  FILE* trace = nullptr;
  if (!tracePath.empty()) {
    trace = tracePath == "-" ? stdout : std::fopen(tracePath.c_str(), "w");
    if (!trace) {
      std::fprintf(stderr, "otp-target-sim: cannot write %s\n", tracePath.c_str());
      return 1;
    }
    const auto origin = std::chrono::steady_clock::now().time_since_epoch();
    const std::int64_t originUs =
        std::chrono::duration_cast<std::chrono::microseconds>(origin).count();
    board.onTrace = [trace, originUs](const otp::sim::TraceEntry& entry) {
      std::fprintf(trace, "%12.6f %s %02X\n", (entry.timeUs - originUs) / 1e6,
                   entry.fromHost ? "host>board" : "board>host", entry.byte);
      std::fflush(trace);
    };
  }

  // The signals are heard before the link exists, whoever sees the link may signal at
  // once; and by this thread only (the board's threads are started with them blocked), so
  // that a board thread waiting for the line never holds one back.
  std::signal(SIGINT, OnQuit);
  std::signal(SIGTERM, OnQuit);
  std::signal(SIGUSR1, OnReset);
  std::signal(SIGUSR2, OnFixture);
  sigset_t heard;
  sigemptyset(&heard);
  for (const int signal : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2})
    sigaddset(&heard, signal);
  pthread_sigmask(SIG_BLOCK, &heard, nullptr);
  otp::sim::PtyBoard pty(board, options);
  const bool started = pty.Start(&error);
  pthread_sigmask(SIG_UNBLOCK, &heard, nullptr);
  if (!started) {
    std::fprintf(stderr, "otp-target-sim: %s\n", error.c_str());
    return 1;
  }
  std::printf("otp-target-sim: %s -> %s%s\n", options.linkPath.c_str(), pty.device().c_str(),
              options.pace ? " (paced)" : "");
  std::fflush(stdout);
  while (!gQuit && !pty.hungUp()) {
    if (gReset.exchange(false)) pty.Reset();
    if (gFixture.exchange(false)) {
      pty.WithBoard([](otp::sim::TargetBoard& b) {
        b.boardIn() ? b.TakeOut() : b.PutIn(true);
        return 0;
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  pty.Stop();
  if (pty.hungUp()) std::printf("otp-target-sim: the line went away\n");
  if (!dumpFile.empty()) {
    const std::string text =
        otp::FormatImage(board.memory(), 0x0000, 0xFFFF, otp::FormatForFileName(dumpFile), true);
    std::string error;
    if (!otp::WriteFileAtomically(otp::PathFromUtf8(dumpFile), text, &error)) {
      std::fprintf(stderr, "otp-target-sim: cannot write %s: %s\n", dumpFile.c_str(),
                   error.c_str());
      return 1;
    }
  }
  if (trace && trace != stdout) std::fclose(trace);
  return 0;
}
