#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "sim/PtyBoard.h"
#include "tests/support/Faults.h"
#include "tests/support/TempDir.h"

namespace otp {
namespace {

using namespace std::chrono_literals;

// The board on a pseudo-terminal, and the host's end of the line opened by hand.
class PtyBoardTest : public ::testing::Test {
 protected:
  void Start(std::vector<sim::Fault> faults = {}) {
    board = std::make_unique<sim::TargetBoard>(std::move(faults));
    pty = std::make_unique<sim::PtyBoard>(*board, sim::PtyBoard::Options{link});
    std::string error;
    if (!pty->Start(&error)) GTEST_SKIP() << "no pseudo-terminal: " << error;
    host = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(host, 0);
  }
  void TearDown() override {
    if (host >= 0) ::close(host);
  }
  void Send(const std::vector<std::uint8_t>& bytes) {
    ASSERT_EQ(::write(host, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // What the board sends within `time`.
  std::vector<std::uint8_t> Receive(std::chrono::milliseconds time) {
    std::vector<std::uint8_t> got;
    const auto end = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < end) {
      pollfd fd{host, POLLIN, 0};
      if (::poll(&fd, 1, 10) <= 0) continue;
      std::uint8_t buffer[512];
      const auto n = ::read(host, buffer, sizeof(buffer));
      if (n > 0) got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }
  // Whether `f` returns within two seconds.
  template <typename F>
  static bool ReturnsPromptly(F f) {
    auto done = std::async(std::launch::async, f);
    return done.wait_for(2s) == std::future_status::ready;
  }

  test::TempDir dir;
  std::string link = (dir / "ttyBOARD").string();
  std::unique_ptr<sim::TargetBoard> board;
  std::unique_ptr<sim::PtyBoard> pty;
  int host = -1;
};

// A host that stops reading while the board has much to say must not block the board's
// controls: they never wait for the terminal.
TEST_F(PtyBoardTest, ControlsReturnWhileTheHostReadsNothing) {
  Start();
  Send({0x18, 0x00, 0x00, 0xA0, 0x00, 0x00, 0xA0, 0x00});  // handshake, empty monitor
  std::vector<std::uint8_t> frames;
  for (int i = 0; i < 1000; ++i)
    frames.insert(frames.end(), {0x28, 0xC0, 0x00, 0x01, 0x00, 0xE9});
  for (std::size_t done = 0; done < frames.size();) {
    const auto n = ::write(host, frames.data() + done, frames.size() - done);
    if (n > 0) done += static_cast<std::size_t>(n);
    std::this_thread::sleep_for(1ms);
  }
  std::this_thread::sleep_for(300ms);  // the terminal is full by now
  EXPECT_TRUE(ReturnsPromptly([&] { return pty->WithBoard([](auto& b) { return b.downloads; }); }));
  EXPECT_TRUE(ReturnsPromptly([&] { pty->Reset(); }));
  EXPECT_TRUE(ReturnsPromptly([&] { pty->Stop(); }));
  EXPECT_FALSE(std::filesystem::exists(link));
}

// A reply scheduled before the reset button was pressed never comes.
TEST_F(PtyBoardTest, ResetDropsRepliesOnTheirWay) {
  Start({test::Fault("handshake:delay=300")});
  Send({0x18});
  for (int i = 0; i < 200 && pty->WithBoard([](auto& b) { return b.handshakes; }) == 0; ++i)
    std::this_thread::sleep_for(5ms);
  pty->Reset();  // the answer is on its way, 300 ms late
  EXPECT_TRUE(Receive(600ms).empty());
  Send({0x18});  // the board still answers a fresh handshake
  EXPECT_EQ(Receive(600ms), std::vector<std::uint8_t>{0x11});
}

// At a hang-up the terminal goes away under a host that keeps looking at its settings,
// and the link goes with it: the kernel may hand the terminal's name to someone else.
TEST_F(PtyBoardTest, HangUpRemovesTheLinkWhileSettingsAreRead) {
  Start({test::Fault("handshake:hangup")});
  std::atomic<bool> done{false};
  std::thread reader([&] {
    termios settings{};
    while (!done)
      pty->HostSettings(&settings);
  });
  Send({0x18});
  for (int i = 0; i < 300 && !pty->hungUp(); ++i)
    std::this_thread::sleep_for(10ms);
  done = true;
  reader.join();
  ASSERT_TRUE(pty->hungUp());
  EXPECT_FALSE(std::filesystem::exists(link));
  termios settings{};
  EXPECT_FALSE(pty->HostSettings(&settings));
}

}  // namespace
}  // namespace otp
