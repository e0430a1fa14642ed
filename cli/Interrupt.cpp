#include "cli/Interrupt.h"

#include <atomic>
#include <csignal>

namespace otp::cli {

namespace {

std::atomic<int> gPresses{0};
std::atomic<int> gTaken{0};

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

bool TakeInterrupt() {
  int taken = gTaken.load();
  while (taken < gPresses.load()) {
    if (gTaken.compare_exchange_weak(taken, taken + 1)) return true;
  }
  return false;
}

}  // namespace otp::cli
