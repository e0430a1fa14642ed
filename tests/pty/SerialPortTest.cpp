#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "link/QtSerialPort.h"
#include "sim/PtyBoard.h"
#include "tests/support/TempDir.h"

namespace otp {
namespace {

using Steady = std::chrono::steady_clock;

double Since(Steady::time_point start) {
  return std::chrono::duration<double>(Steady::now() - start).count();
}

// A pseudo-terminal whose far end the test drives by hand.
class RawLine : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
      GTEST_SKIP() << "this machine gives no pseudo-terminals";
    }
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    device = name;
    port = ports.Open(device);
    ASSERT_NE(port, nullptr);
    ASSERT_EQ(port->Configure(19200), SerialPort::ConfigResult::kOk);
  }
  void TearDown() override {
    port.reset();
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
  }
  void Send(const std::string& bytes) {
    ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  int master = -1;
  int slave = -1;
  std::string device;
  QtSerialPortFactory ports;
  std::unique_ptr<SerialPort> port;
};

TEST_F(RawLine, LineSettings) {
  termios settings{};
  ASSERT_EQ(::tcgetattr(slave, &settings), 0);
  EXPECT_EQ(::cfgetospeed(&settings), static_cast<speed_t>(B19200));
  EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(settings.c_cflag & PARENB, 0u);
  EXPECT_EQ(settings.c_cflag & CSTOPB, 0u);
  EXPECT_NE(settings.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(settings.c_iflag & (IXON | IXOFF), 0u);
}

TEST_F(RawLine, ReadEndsWhenAllBytesCame) {
  Send("abc");
  std::uint8_t buffer[3];
  const auto start = Steady::now();
  const ReadResult result = port->Read(buffer, 3);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.count, 3u);
  EXPECT_LT(Since(start), 0.5);
}

TEST_F(RawLine, ReadWithoutBytesEndsAfterItsLimit) {
  std::uint8_t byte = 0;
  const auto start = Steady::now();
  const ReadResult result = port->Read(&byte, 1);
  const double seconds = Since(start);
  EXPECT_TRUE(result.ok);  // a time-out is no failed call
  EXPECT_EQ(result.count, 0u);
  EXPECT_GE(seconds, 2.1);
  EXPECT_LT(seconds, 3.0);
}

TEST_F(RawLine, ReadEndsAfterAGapOnceABytesCame) {
  std::thread board([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Send("0123456789");
    std::this_thread::sleep_for(std::chrono::milliseconds(60));  // a gap within the limit
    Send("ABCDE");
  });
  std::uint8_t buffer[257];
  const auto start = Steady::now();
  const ReadResult result = port->Read(buffer, sizeof(buffer));
  const double seconds = Since(start);
  board.join();
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.count, 15u);
  // 300 ms before the first byte, 60 ms gap, then 100 ms without a byte; not 27.7 s.
  EXPECT_GE(seconds, 0.46);
  EXPECT_LT(seconds, 1.2);
}

TEST_F(RawLine, WriteThatCannotLeaveIsDroppedAfterItsLimit) {
  // Fill the terminal until it takes no more: the far end reads nothing.
  const int extra = ::open(device.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY);
  ASSERT_GE(extra, 0);
  std::size_t filled = 0;
  // The kernel moves data between its buffers a moment later: fill until it stays full.
  const std::string chunk(4096, 'f');
  for (std::size_t round = 1; round > 0;) {
    round = 0;
    for (std::size_t size = chunk.size(); size > 0; size /= 2) {
      for (ssize_t n; (n = ::write(extra, chunk.data(), size)) > 0;) {
        round += static_cast<std::size_t>(n);
      }
    }
    filled += round;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::close(extra);
  const std::uint8_t byte = 'X';
  const auto start = Steady::now();
  EXPECT_EQ(port->Write(&byte, 1), 0u);
  const double seconds = Since(start);
  EXPECT_GE(seconds, 0.2);
  EXPECT_LT(seconds, 1.0);
  // The dropped byte is never sent later, also once the far end reads again.
  ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  std::size_t drained = 0;
  bool sawX = false;
  char buffer[4096];
  for (int idle = 0; idle < 20;) {
    const ssize_t n = ::read(master, buffer, sizeof(buffer));
    if (n > 0) {
      drained += static_cast<std::size_t>(n);
      sawX =
          sawX || std::string(buffer, static_cast<std::size_t>(n)).find('X') != std::string::npos;
      idle = 0;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      ++idle;
    }
  }
  // Dropping the port's pending output discards the filler still queued as well.
  EXPECT_FALSE(sawX);
  EXPECT_LE(drained, filled);
}

TEST_F(RawLine, WriteTakesTheTimeOfTheLine) {
  // The terminal takes the bytes at once, but the port keeps the line's pace: writes end
  // once their bytes are in a 16-byte transmitter, so two writes of 192 bytes at 19200
  // bit/s take at least the time of all but 16 of their bytes.
  const std::vector<std::uint8_t> data(192, 0x55);
  const double byteTime = 10 / 19200.0;
  const auto start = Steady::now();
  EXPECT_EQ(port->Write(data.data(), data.size()), data.size());
  EXPECT_GE(Since(start), (192 - 16) * byteTime);
  EXPECT_EQ(port->Write(data.data(), data.size()), data.size());
  EXPECT_GE(Since(start), (2 * 192 - 16) * byteTime);
  EXPECT_LT(Since(start), 2 * 192 * byteTime + 0.5);
}

TEST_F(RawLine, PurgeDropsWhatWaits) {
  Send("stale");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  port->Purge(true, true);
  Send("x");
  std::uint8_t buffer[8];
  const ReadResult result = port->Read(buffer, 1);
  ASSERT_EQ(result.count, 1u);
  EXPECT_EQ(buffer[0], 'x');
}

TEST_F(RawLine, LineThatGoesAwayFailsReadsAndWritesAtOnce) {
  ::close(master);
  ::close(slave);
  master = slave = -1;
  std::uint8_t byte = 0;
  const auto start = Steady::now();
  EXPECT_FALSE(port->Read(&byte, 1).ok);
  EXPECT_EQ(port->Write(&byte, 1), 0u);
  EXPECT_FALSE(port->Read(&byte, 1).ok);
  EXPECT_LT(Since(start), 0.5);
}

TEST(SerialPortOpen, AbsentDevicesAndPortsHeldByAnother) {
  QtSerialPortFactory ports;
  test::TempDir dir;
  EXPECT_EQ(ports.Open((dir / "no-such-port").string()), nullptr);
  EXPECT_EQ(ports.Open(dir.Write("plain.txt", "not a port").string()), nullptr);

  sim::TargetBoard board;
  sim::PtyBoard pty(board, {(dir / "ttyBOARD").string()});
  std::string error;
  if (!pty.Start(&error)) GTEST_SKIP() << "no pseudo-terminal: " << error;
  auto first = ports.Open((dir / "ttyBOARD").string());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(ports.Open((dir / "ttyBOARD").string()), nullptr);  // held
  first.reset();
  EXPECT_NE(ports.Open((dir / "ttyBOARD").string()), nullptr);  // free again
}

}  // namespace
}  // namespace otp
