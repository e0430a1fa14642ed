#include <gtest/gtest.h>

#include "tests/support/Faults.h"
#include "tests/support/OpenFiles.h"
#include "tests/support/WriterFixture.h"

namespace otp {
namespace {

using test::Fault;
using namespace std::chrono_literals;

class DownloadTest : public test::WriterFixture {};

const char* const kRedo = "Please redo from download operation";

TEST_F(DownloadTest, LoadsTheMonitorOfTheSelectedModel) {
  std::vector<std::uint8_t> monitor(300);
  for (std::size_t i = 0; i < monitor.size(); ++i)
    monitor[i] = static_cast<std::uint8_t>(i + 3);
  WriteMonitor("m_otp.150", monitor);
  ASSERT_TRUE(Download(1));
  // The operator was asked to reset the board in a box owned by the progress window.
  ASSERT_EQ(view.messages.size(), 1u);
  EXPECT_EQ(view.messages[0].first, kResetPrompt);
  EXPECT_EQ(view.messages[0].second, "otp writer");
  EXPECT_EQ(Reports(), std::vector<std::string>{" Download  OK !!"});
  EXPECT_EQ(view.acknowledged[0].icon, kIconInformation);
  EXPECT_EQ(view.pos, 1);  // the bar was stepped and is full
  EXPECT_EQ(view.high, 1);
  EXPECT_EQ(line.baud, 9600);
  EXPECT_TRUE(writer.link.IsOpen());
  EXPECT_EQ(board.monitor(), monitor);
  EXPECT_TRUE(board.monitorRunning());
  // On the line: handshake, frame with the file's size, the bytes, their sum.
  ASSERT_EQ(line.written.size(), 1 + 6 + monitor.size() + 1);
  EXPECT_EQ(line.written[0], 0x18);
  const std::vector<std::uint8_t> frame(line.written.begin() + 1, line.written.begin() + 7);
  EXPECT_EQ(frame, (std::vector<std::uint8_t>{0x00, 0x00, 0xA0, 0x01, 0x2C, 0xCD}));
  unsigned sum = 0;
  for (const auto b : monitor)
    sum += b;
  EXPECT_EQ(line.written.back(), static_cast<std::uint8_t>(sum));
  // The program's folder is the current folder from now on.
  EXPECT_EQ(std::filesystem::current_path(), std::filesystem::canonical(dir.path()));
}

TEST_F(DownloadTest, EmptyMonitorSendsLengthZeroAndSumZero) {
  WriteMonitor("m_otp.150", {});
  ASSERT_TRUE(Download());
  EXPECT_EQ(line.written,
            (std::vector<std::uint8_t>{0x18, 0x00, 0x00, 0xA0, 0x00, 0x00, 0xA0, 0x00}));
}

TEST_F(DownloadTest, LongMonitorAtTheSlowestRateTakesItsTimeOnTheWire) {
  SelectModel(0);
  std::vector<std::uint8_t> monitor(2048, 0x5A);
  WriteMonitor("m_otp.630", monitor);
  const std::int64_t start = clock.nowUs();
  ASSERT_TRUE(Download(0));  // 2400 bit/s
  EXPECT_EQ(line.baud, 2400);
  // 1 + 6 + 2048 + 1 bytes out, 1 + 1 + 1 bytes back, 10 bits each: the status wait
  // starts only when the stream has left, so it does not time out.
  const std::int64_t wire = (1 + 6 + 2048 + 1 + 3) * 4166;
  EXPECT_GE(clock.nowUs() - start, wire);
  EXPECT_LT(clock.nowUs() - start, wire + 100'000);
}

TEST_F(DownloadTest, FailuresAreReportedAndCloseTheLink) {
  struct Case {
    const char* what;
    const char* fault;   // null: none
    const char* report;  // the first text the operator sees
  };
  const Case cases[] = {
      {"no answer to the handshake", "handshake:silent", " No.003 Timeout error"},
      {"wrong answer to the handshake", "handshake:byte=0x13", " No.011 Communication error"},
      {"download command refused", "download-reply:byte=0x02", " No.020 Sum error"},
      {"download command unanswered", "download-reply:silent", " No.003 Timeout error"},
      {"wrong tag", "download-reply:byte=0x21", " No.021 Coordination error"},
      {"no status", "download-status:silent", " No.003 Timeout error"},
      {"status 0x02", "download-status:byte=0x02", " No.020 Sum error"},
      {"status 0x04", "download-status:byte=0x04", " No.001 Download error"},
      {"status 0x21 is compared whole", "download-status:byte=0x21", " No.011 Communication error"},
      {"line gone mid-stream", "download-data:hangup=100", " No.003 Timeout error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    board = sim::TargetBoard();
    board.AddFault(Fault(c.fault));
    view.ClearRecords();
    const int files = test::OpenFileCount();
    EXPECT_FALSE(Download());
    EXPECT_EQ(Reports(), (std::vector<std::string>{std::string("ERROR !!\n ") + c.report, kRedo}));
    EXPECT_FALSE(writer.link.IsOpen());
    EXPECT_FALSE(line.isOpen);
    EXPECT_EQ(test::OpenFileCount(), files);  // the monitor file was closed
  }
}

TEST_F(DownloadTest, MissingMonitorIsReportedAfterTheResetPrompt) {
  std::filesystem::remove(dir / "m_otp.150");
  EXPECT_FALSE(Download());
  EXPECT_EQ(view.messages.size(), 1u);  // the prompt came first
  EXPECT_EQ(Reports()[0], "ERROR !!\n  No.007 Unable to open download file.");
  EXPECT_FALSE(writer.link.IsOpen());
  EXPECT_TRUE(line.written.empty());
}

TEST_F(DownloadTest, MonitorTooLongForTheLengthFieldIsRefusedBeforeAnythingIsSent) {
  WriteMonitor("m_otp.150", std::vector<std::uint8_t>(65536, 0x11));
  EXPECT_FALSE(Download());
  EXPECT_EQ(Reports()[0], "ERROR !!\n  No.008 Unable to gain file size.");
  EXPECT_TRUE(line.written.empty());
  // The largest size that fits is sent.
  WriteMonitor("m_otp.150", std::vector<std::uint8_t>(65535, 0x11));
  view.ClearRecords();
  EXPECT_TRUE(Download());
}

TEST_F(DownloadTest, MonitorThatShrinksWhileStreamingIsAFileAccessError) {
  WriteMonitor("m_otp.150", std::vector<std::uint8_t>(40000, 0x22));
  line.onWrite = [this](const std::uint8_t*, std::size_t count) {
    if (count == 6) std::filesystem::resize_file(dir / "m_otp.150", 100);
  };
  const int files = test::OpenFileCount();
  EXPECT_FALSE(Download());
  EXPECT_EQ(Reports()[0], "ERROR !!\n  No.017 File access error");
  EXPECT_EQ(test::OpenFileCount(), files);
}

TEST_F(DownloadTest, SpeedEntryWithoutABitRateNeverReachesThePort) {
  EXPECT_FALSE(Download(3));
  EXPECT_EQ(Reports()[0], "ERROR !!\n  No.010 Unable to change COM port setting.");
  EXPECT_EQ(line.baud, 0);
  EXPECT_TRUE(line.written.empty());
}

TEST_F(DownloadTest, NoModelSelectedCannotDownload) {
  writer.spec = ChipSpec::Unselected();
  EXPECT_FALSE(Download(0));
  EXPECT_EQ(Reports()[0], "ERROR !!\n  No.010 Unable to change COM port setting.");
  EXPECT_TRUE(line.written.empty());
}

TEST_F(DownloadTest, DownloadAgainRedoesEverything) {
  ASSERT_TRUE(Download());
  ASSERT_TRUE(Download());
  EXPECT_EQ(line.opens, 2);
  EXPECT_EQ(board.handshakes, 2);
  EXPECT_EQ(board.downloads, 2);
  EXPECT_EQ(view.messages.size(), 2u);  // the reset prompt each time
  EXPECT_TRUE(writer.link.IsOpen());
}

// Whatever the board sends while the operator resets it, up to the prompt's OK, is no
// reply: the buffers are emptied after the prompt, not before it.
TEST_F(DownloadTest, BytesSentByTheBoardDuringItsResetAreNoReplies) {
  view.onMessage = [this] {
    board.Reset();
    board.output().push_back({0x11, clock.nowUs()});
    board.output().push_back({0x00, clock.nowUs()});
    clock.Sleep(std::chrono::milliseconds(300));  // the operator reads the prompt
  };
  ASSERT_TRUE(Download());
  EXPECT_EQ(line.purges, 1);
  EXPECT_TRUE(view.acknowledged.size() == 1 && view.acknowledged[0].status == " Download  OK !!");
}

}  // namespace
}  // namespace otp

namespace otp {
namespace {

// A board whose reset is wired to DTR: the line drops DTR for the pulse, raises it, and
// only then sends the handshake; no prompt is shown. Without modem lines nothing is sent.
TEST_F(DownloadTest, ResetThroughDtr) {
  std::int64_t handshakeUs = -1;
  board.onTrace = [&](const sim::TraceEntry& entry) {
    if (entry.fromHost && entry.byte == 0x18 && handshakeUs < 0) handshakeUs = entry.timeUs;
  };
  view.NewWindow();
  ASSERT_EQ(writer.Download(line, line.device(), 2, {ResetMethod::Kind::kDtr, 250ms}),
            Outcome::kOk);
  EXPECT_TRUE(view.messages.empty());
  ASSERT_EQ(line.dtr.size(), 2u);
  EXPECT_FALSE(line.dtr[0].asserted);
  EXPECT_TRUE(line.dtr[1].asserted);
  EXPECT_EQ(line.dtr[1].atUs - line.dtr[0].atUs, 250'000);
  EXPECT_GT(handshakeUs, line.dtr[1].atUs);
  EXPECT_EQ(board.downloads, 1);

  line.modemLines = false;
  line.written.clear();
  view.ClearRecords();
  EXPECT_EQ(writer.Download(line, line.device(), 2, {ResetMethod::Kind::kDtr, 250ms}),
            Outcome::kNoResetLine);
  EXPECT_TRUE(line.written.empty());
  EXPECT_TRUE(Reports().empty());
  EXPECT_FALSE(writer.link.IsOpen());
}

}  // namespace
}  // namespace otp
