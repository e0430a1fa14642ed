#include "sim/PtyBoard.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace otp::sim {

int BaudOfSpeed(unsigned speed) {
  switch (speed) {
    case B300:
      return 300;
    case B600:
      return 600;
    case B1200:
      return 1200;
    case B2400:
      return 2400;
    case B4800:
      return 4800;
    case B9600:
      return 9600;
    case B19200:
      return 19200;
    case B38400:
      return 38400;
    case B57600:
      return 57600;
    case B115200:
      return 115200;
    default:
      return 0;
  }
}

PtyBoard::PtyBoard(TargetBoard& board, Options options)
    : board_(board), options_(std::move(options)) {}

PtyBoard::~PtyBoard() {
  Stop();
}

std::int64_t PtyBoard::NowUs() const {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool PtyBoard::Start(std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
    CloseTerminal();
    return false;
  };
  char name[256] = {};
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return fail("openpty");
  device_ = name;
  // A program that the caller starts must not hold the line open: a hang-up would not
  // reach it.
  ::fcntl(master_, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
  termios raw{};
  if (::tcgetattr(slave_, &raw) == 0) {
    ::cfmakeraw(&raw);
    ::tcsetattr(slave_, TCSANOW, &raw);
  }
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  if (::pipe2(wake_, O_CLOEXEC) != 0) return fail("pipe");
  ::fcntl(wake_[0], F_SETFL, ::fcntl(wake_[0], F_GETFL) | O_NONBLOCK);
  // The board holds a lock on its terminal for its life: another simulator can tell a
  // live link from one that a simulator left behind.
  ::flock(slave_, LOCK_EX | LOCK_NB);
  if (!options_.linkPath.empty()) {
    if (LinkHeld(options_.linkPath)) {
      errno = EBUSY;
      const std::string path = options_.linkPath;
      options_.linkPath.clear();  // not ours: never removed by this board
      return fail(path + " is the link of a simulator that is running");
    }
    ::unlink(options_.linkPath.c_str());
    if (::symlink(device_.c_str(), options_.linkPath.c_str()) != 0) {
      const std::string path = options_.linkPath;
      options_.linkPath.clear();
      return fail("symlink " + path);
    }
  }
  if (options_.pace && options_.paceBaud > 0) {
    board_.SetByteTime(1'000'000LL * 10 / options_.paceBaud);
  }
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void PtyBoard::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    Wake();
    thread_.join();
  }
  CloseTerminal();
  if (wake_[0] >= 0) ::close(wake_[0]);
  if (wake_[1] >= 0) ::close(wake_[1]);
  wake_[0] = wake_[1] = -1;
}

void PtyBoard::CloseTerminal() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
  master_ = slave_ = -1;
  // The kernel may hand the released /dev/pts/N to another terminal: the link must not
  // lead there.
  RemoveOwnLink();
}

void PtyBoard::RemoveOwnLink() {
  if (options_.linkPath.empty()) return;
  // Only a link to this board's terminal: another simulator may have made its own since.
  char target[512];
  const ssize_t n = ::readlink(options_.linkPath.c_str(), target, sizeof(target) - 1);
  if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == device_) {
    ::unlink(options_.linkPath.c_str());
  }
}

bool PtyBoard::LinkHeld(const std::string& path) {
  struct stat link {};
  if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return false;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY;  // a terminal held exclusively is in use
  const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return held;
}

void PtyBoard::Reset() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    board_.Reset();
    ++resets_;
  }
  Wake();
}

void PtyBoard::Wake() {
  if (wake_[1] >= 0) {
    const char byte = 0;
    [[maybe_unused]] const auto written = ::write(wake_[1], &byte, 1);
  }
}

bool PtyBoard::HostSettings(termios* settings) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return slave_ >= 0 && ::tcgetattr(slave_, settings) == 0;
}

std::int64_t PtyBoard::HostByteTime() const {
  termios settings{};
  if (::tcgetattr(slave_, &settings) != 0) return 0;
  const int baud = BaudOfSpeed(::cfgetospeed(&settings));
  return baud > 0 ? 1'000'000LL * 10 / baud : 0;
}

void PtyBoard::Run() {
  // Bytes whose time has come, taken from the board but not yet written to the terminal,
  // and the reset count when they were taken: a reset drops them.
  std::vector<std::uint8_t> out;
  std::size_t outDone = 0;
  unsigned outResets = 0;
  std::uint8_t in[4096];
  std::int64_t lastDeliveryUs = 0;
  std::int64_t inFreeUs = 0;
  const int master = master_;  // only this thread closes it, and only when it ends
  while (!stop_) {
    std::int64_t waitUs = 100'000;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const std::int64_t now = NowUs();
      if (outResets != resets_) {
        out.clear();
        outDone = 0;
        outResets = resets_;
      }
      const std::int64_t tick = board_.Tick(now);
      if (tick >= 0) waitUs = std::min(waitUs, std::max<std::int64_t>(tick - now, 1'000));
      auto& output = board_.output();
      const auto hangUp = board_.hangUpAt();
      while (!output.empty() && output.front().atUs <= now &&
             (!hangUp || output.front().atUs <= *hangUp)) {
        out.push_back(output.front().byte);
        output.pop_front();
      }
      // The line goes away once the bytes sent before have reached the host, as closing
      // the terminal discards what the host has not read yet: the kernel passes them on
      // a moment after they were written. Then the host's next read or write fails.
      int unread = 0;
      ::ioctl(slave_, TIOCINQ, &unread);
      const bool settled = outDone == out.size() && unread == 0 && now - lastDeliveryUs > 100'000;
      if (hangUp && now >= *hangUp && (settled || now - *hangUp > 1'000'000)) {
        ::close(master_);
        ::close(slave_);
        master_ = slave_ = -1;
        RemoveOwnLink();
        hungUp_ = true;
        return;
      }
      if (!output.empty()) waitUs = std::min(waitUs, output.front().atUs - now);
      if (hangUp) waitUs = std::min(waitUs, std::max<std::int64_t>(*hangUp - now, 5'000));
    }
    // Written without the lock: a host that stops reading must block nobody.
    while (outDone < out.size()) {
      const auto n = ::write(master, out.data() + outDone, out.size() - outDone);
      if (n <= 0) break;  // full (or failing): wait below until it takes more
      outDone += static_cast<std::size_t>(n);
      lastDeliveryUs = NowUs();
    }
    if (outDone == out.size()) {
      out.clear();
      outDone = 0;
    } else {
      waitUs = std::min<std::int64_t>(waitUs, 10'000);
    }
    pollfd fds[2] = {{master, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    timespec timeout{static_cast<time_t>(waitUs / 1'000'000),
                     static_cast<long>((waitUs % 1'000'000) * 1000)};
    if (waitUs < 0) timeout = {0, 0};
    if (::ppoll(fds, 2, &timeout, nullptr) < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) {
      char drain[64];
      while (::read(wake_[0], drain, sizeof(drain)) > 0) {
      }
    }
    if (fds[0].revents & POLLIN) {
      const auto n = ::read(master, in, sizeof(in));
      if (n > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::int64_t now = NowUs();
        if (options_.pace && options_.paceBaud == 0) board_.SetByteTime(HostByteTime());
        // Paced, each byte has arrived only once it has crossed the line.
        for (ssize_t i = 0; i < n; ++i) {
          inFreeUs = std::max(inFreeUs, now) + board_.byteTime();
          board_.Receive(in[i], options_.pace ? inFreeUs : now);
        }
      }
    }
  }
}

}  // namespace otp::sim
