#include "cli/Interrupt.h"

#include <atomic>
#include <csignal>

namespace otp::cli {

namespace {

std::atomic<int> gPresses{0};

extern "C" void OnInterrupt(int) {
  gPresses.fetch_add(1);
  // The next press takes the default action: the program ends at once.
  std::signal(SIGINT, SIG_DFL);
}

}  // namespace

void InstallInterruptHandler() {
#ifdef _WIN32
  std::signal(SIGINT, OnInterrupt);
#else
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no restart: a wait at the reset prompt ends
  sigaction(SIGINT, &action, nullptr);
#endif
}

bool Interrupted() {
  return gPresses.load() > 0;
}

int InterruptPresses() {
  return gPresses.load();
}

}  // namespace otp::cli
