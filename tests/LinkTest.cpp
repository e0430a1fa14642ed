#include <gtest/gtest.h>

#include "core/ResultReporter.h"
#include "link/Protocol.h"
#include "link/TargetLink.h"
#include "tests/support/FakeLine.h"
#include "tests/support/FakeView.h"
#include "tests/support/Faults.h"

namespace otp {
namespace {

using test::Fault;

// A link on a fake line at 19200 bit/s, with the real reporter and an operator who
// acknowledges every report.
struct Bench {
  Bench() {
    clock.onSleep = [this] { view.Operate(); };
    view.onPump = [this](test::FakeView&) {
      if (firstReportUs < 0) firstReportUs = clock.nowUs();
    };
    EXPECT_TRUE(link.OpenLink(line, line.device(), 19200));
  }
  // Handshake and an empty monitor: the board then serves block commands.
  void EnterMonitor() {
    ASSERT_EQ(link.SyncTarget(), SyncResult::kAnswered);
    ASSERT_EQ(link.SendCommand(proto::kCmdDownload, 0x00A0, 0), 0x01);
    const std::uint8_t sum = 0;
    link.Write(&sum, 1);
    std::uint8_t status = 0;
    ASSERT_EQ(link.Read(&status, 1).count, 1u);
    ASSERT_EQ(status, 0x01);
    line.written.clear();
    firstReportUs = -1;
  }
  std::vector<std::string> Reports() const {
    std::vector<std::string> texts;
    for (const auto& seen : view.acknowledged)
      texts.push_back(seen.status);
    return texts;
  }

  test::TestClock clock;
  sim::TargetBoard board;
  test::FakeLine line{clock, board};
  test::FakeView view;
  ResultReporter reporter{view, clock, Language::kEnglish, [this] { link.Close(); }};
  TargetLink link{reporter, clock};
  std::int64_t firstReportUs = -1;
};

std::string Error(const char* text) {
  return std::string("ERROR !!\n ") + text;
}
const char* const kRedo = "Please redo from download operation";

TEST(TargetLink, FramesTravelMostSignificantByteFirstWithTheirSum) {
  struct Case {
    std::uint8_t command;
    std::uint16_t address;
    std::uint16_t length;
    std::vector<std::uint8_t> frame;
  };
  const Case cases[] = {
      {0x28, 0xC000, 256, {0x28, 0xC0, 0x00, 0x01, 0x00, 0xE9}},
      {0x08, 0xFF00, 256, {0x08, 0xFF, 0x00, 0x01, 0x00, 0x08}},
      {0x00, 0x00A0, 1000, {0x00, 0x00, 0xA0, 0x03, 0xE8, 0x8B}},
  };
  for (const Case& c : cases) {
    Bench bench;
    bench.board.AddFault(Fault("read-reply:silent"));
    bench.board.AddFault(Fault("program-reply:silent"));
    bench.board.AddFault(Fault("download-reply:silent"));
    bench.link.SendCommand(c.command, c.address, c.length);
    EXPECT_EQ(bench.line.written, c.frame);
  }
  // Only the low 8 bits of the command count.
  EXPECT_EQ(proto::BuildFrame(static_cast<std::uint8_t>(0x128), 0xC000, 256)[0], 0x28);
}

TEST(TargetLink, RepliesAreClassifiedByTagFirstThenStatus) {
  struct Case {
    std::uint8_t command;
    const char* fault;
    const char* report;  // null: none
    std::uint8_t result;
  };
  const Case cases[] = {
      {0x28, "read-reply:byte=0x21", nullptr, 0x21},
      {0x08, "program-reply:byte=0x01", nullptr, 0x01},
      {0x00, "download-reply:byte=0x01", nullptr, 0x01},
      {0x28, "read-reply:byte=0x01", " No.021 Coordination error", 0x01},
      {0x08, "program-reply:byte=0x21", " No.021 Coordination error", 0x21},
      {0x00, "download-reply:byte=0x21", " No.021 Coordination error", 0x21},
      {0x28, "read-reply:byte=0x22", " No.020 Sum error", 0x22},
      {0x28, "read-reply:byte=0x24", " No.018 Device error", 0x24},
      {0x28, "read-reply:byte=0x20", " No.011 Communication error", 0x20},
      {0x28, "read-reply:byte=0x2F", " No.011 Communication error", 0x2F},
      {0x08, "program-reply:byte=0x00", " No.011 Communication error", 0x00},
      {0x08, "program-reply:byte=0x04", " No.018 Device error", 0x04},
      {0x08, "program-reply:byte=0x03", " No.011 Communication error", proto::kNoReply},
      {0x28, "read-reply:byte=0x03", " No.021 Coordination error", proto::kNoReply},
      {0x28, "read-reply:silent", " No.003 Timeout error", proto::kNoReply},
      {0x00, "download-reply:silent", " No.003 Timeout error", proto::kNoReply},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    Bench bench;
    bench.EnterMonitor();
    bench.board.AddFault(Fault(c.fault));
    EXPECT_EQ(bench.link.SendCommand(c.command, 0xC000, c.command == 0 ? 0 : 256), c.result);
    if (c.report) {
      EXPECT_EQ(bench.Reports(), (std::vector<std::string>{Error(c.report), kRedo}));
      EXPECT_FALSE(bench.link.IsOpen());
    } else {
      EXPECT_TRUE(bench.Reports().empty());
      EXPECT_TRUE(bench.link.IsOpen());
    }
  }
}

TEST(TargetLink, NoReplyIsReportedAfterTheReadLimit) {
  Bench bench;
  bench.board.AddFault(Fault("read-reply:silent"));
  const std::int64_t start = bench.clock.nowUs();
  bench.link.SendCommand(0x28, 0xC000, 256);
  // Six bytes on the wire at 19200 bit/s, then 2,100 ms of waiting for one byte.
  EXPECT_EQ(bench.firstReportUs - start, 6 * 520 + 2'100'000);
}

TEST(TargetLink, Handshake) {
  struct Case {
    const char* fault;  // null: none
    SyncResult result;
  };
  const Case cases[] = {{nullptr, SyncResult::kAnswered},
                        {"handshake:byte=0x13", SyncResult::kWrongAnswer},
                        {"handshake:silent", SyncResult::kNoAnswer}};
  for (const Case& c : cases) {
    Bench bench;
    if (c.fault) bench.board.AddFault(Fault(c.fault));
    const std::int64_t start = bench.clock.nowUs();
    EXPECT_EQ(bench.link.SyncTarget(), c.result);
    EXPECT_EQ(bench.line.written, std::vector<std::uint8_t>{0x18});
    if (c.result == SyncResult::kNoAnswer) {
      EXPECT_EQ(bench.clock.nowUs() - start, 520 + 2'100'000);
    }
    EXPECT_TRUE(bench.Reports().empty());  // the caller reports
  }
}

std::vector<std::uint8_t> Block(std::uint8_t value) {
  return std::vector<std::uint8_t>(proto::kBlockSize, value);
}

TEST(TargetLink, WriteBlockSendsDataAndSum) {
  Bench bench;
  bench.EnterMonitor();
  ASSERT_EQ(bench.link.SendCommand(0x08, 0xC000, 256), 0x01);
  std::vector<std::uint8_t> data = Block(0x00);
  data[0] = 0x12;
  data[255] = 0x34;
  EXPECT_EQ(bench.link.WriteBlock(data.data()), 1);
  ASSERT_EQ(bench.line.written.size(), 6u + 257u);
  EXPECT_EQ(bench.line.written.back(), 0x46);
  EXPECT_EQ(bench.board.memory()[0xC000], 0x12);
  EXPECT_EQ(bench.board.memory()[0xC0FF], 0x34);
}

TEST(TargetLink, WriteBlockWaitsWholeSecondsOfTheMonotonicClock) {
  struct Case {
    const char* what;
    const char* fault;
    std::int64_t phaseUs;  // where in its whole second the wait starts, roughly
    std::uint8_t result;
    std::int64_t waitUs;  // from the end of the data to the end of the wait (-1: not checked)
  };
  const Case cases[] = {
      {"status a second late", "program-status:delay=1000", 0, 1, -1},
      {"checksum status, no report", "program-status:byte=0x02", 0, 2, -1},
      {"zero bytes before the status are skipped", "program-status:zeros=5", 0, 1, -1},
      {"late status within the limit", "program-status:delay=2500", 0, 1, -1},
      {"same status after the clock advanced by 3", "program-status:delay=2500", 600'000, 3, -1},
      {"no status, clock near a second's end: one read", "program-status:silent", 950'000, 3,
       2'100'000},
      {"no status, clock at a second's start: two reads", "program-status:silent", 0, 3, 4'200'000},
      {"status 3 looks like no status", "program-status:byte=0x03", 0, 3, -1},
      {"garbage instead of a status", "program-status:garbage=1", 0, 0, -1},
  };
  // The wall clock is stepped once the data has left: an hour back, an hour forward, or
  // not at all. No step may change the result or the length of the wait.
  for (const std::int64_t stepUs : {0LL, -3'600'000'000LL, 3'600'000'000LL}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + ", wall clock stepped by " + std::to_string(stepUs));
      Bench bench;
      bench.EnterMonitor();
      bench.board.AddFault(Fault(c.fault));
      // Place the end of the data at the wanted point of its second: the frame, the reply
      // and the data take 6 + 1 + 257 byte times.
      const std::int64_t end = bench.clock.nowUs() + (6 + 1 + 257) * 520;
      bench.clock.AdvanceTo(bench.clock.nowUs() +
                            ((c.phaseUs - end) % 1'000'000 + 1'000'000) % 1'000'000);
      ASSERT_EQ(bench.link.SendCommand(0x08, 0xC000, 256), 0x01);
      const std::int64_t dataTime = 257 * 520;
      bench.line.onWrite = [&](const std::uint8_t*, std::size_t count) {
        if (count == 1) bench.clock.wallStepUs += stepUs;  // after the checksum byte
      };
      const std::int64_t now = bench.clock.nowUs() + dataTime;
      const std::vector<std::uint8_t> data = Block(0x5A);
      const std::uint8_t result = bench.link.WriteBlock(data.data());
      if (c.result != 0) {
        EXPECT_EQ(result, c.result);
      } else {
        EXPECT_NE(result, 0);
        EXPECT_NE(result, 1);
      }
      if (c.waitUs >= 0) {
        EXPECT_EQ(bench.clock.nowUs() - now, c.waitUs);
      }
      EXPECT_TRUE(bench.Reports().empty());
    }
  }
}

TEST(TargetLink, FailedReadCallIsReportedEveryTime) {
  Bench bench;
  bench.view.reactionPolls = 100;  // the operator takes a second for each press
  bench.EnterMonitor();
  bench.board.AddFault(Fault("program-status:hangup"));
  ASSERT_EQ(bench.link.SendCommand(0x08, 0xC000, 256), 0x01);
  const std::vector<std::uint8_t> data = Block(0x00);
  EXPECT_EQ(bench.link.WriteBlock(data.data()), proto::kNoReply);
  const auto reports = bench.Reports();
  ASSERT_GE(reports.size(), 2u);
  EXPECT_EQ(reports[0], Error(" No.016 COM port read error"));
  EXPECT_EQ(reports[1], kRedo);
  EXPECT_FALSE(bench.link.IsOpen());
}

TEST(TargetLink, ReadReplyByte) {
  Bench bench;
  bench.board.output().push_back({0x5A, 0});
  EXPECT_EQ(bench.link.ReadReplyByte(), 0x5A);
  EXPECT_EQ(bench.link.ReadReplyByte(), 0);  // nothing came
  EXPECT_TRUE(bench.Reports().empty());
  bench.link.Close();
  EXPECT_EQ(bench.link.ReadReplyByte(), 0);  // a closed link fails the read call
  EXPECT_EQ(bench.Reports(),
            (std::vector<std::string>{Error(" No.016 COM port read error"), kRedo}));
}

TEST(TargetLink, OpenLinkFailures) {
  struct Case {
    const char* what;
    bool refuseOpen;
    SerialPort::ConfigResult config;
    std::optional<std::int32_t> baud;
    const char* report;
  };
  using R = SerialPort::ConfigResult;
  const Case cases[] = {
      {"device absent or held", true, R::kOk, 9600, " No.006 Unable to open COM port."},
      {"settings unreadable", false, R::kInfoUnavailable, 9600,
       " No.009 Unable to gain COM port info."},
      {"setting refused", false, R::kSettingRejected, 9600,
       " No.010 Unable to change COM port setting."},
      {"no bit rate for the speed entry", false, R::kOk, std::nullopt,
       " No.010 Unable to change COM port setting."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bench bench;
    bench.line.refuseOpen = c.refuseOpen;
    bench.line.configResult = c.config;
    bench.line.baud = 0;
    EXPECT_FALSE(bench.link.OpenLink(bench.line, bench.line.device(), c.baud));
    EXPECT_EQ(bench.Reports(), (std::vector<std::string>{Error(c.report), kRedo}));
    EXPECT_FALSE(bench.link.IsOpen());
    EXPECT_FALSE(bench.line.isOpen);
    if (!c.baud) {
      EXPECT_EQ(bench.line.baud, 0);  // never reached the port
    }
  }
}

TEST(TargetLink, OpenLinkClosesTheOpenPortFirst) {
  Bench bench;
  ASSERT_TRUE(bench.link.IsOpen());
  // The line takes one holder at a time: this open works only if the old port was closed.
  EXPECT_TRUE(bench.link.OpenLink(bench.line, bench.line.device(), 4800));
  EXPECT_EQ(bench.line.opens, 2);
  EXPECT_EQ(bench.line.baud, 4800);
  EXPECT_FALSE(bench.link.OpenLink(bench.line, "/dev/other", 4800));
  EXPECT_FALSE(bench.line.isOpen);
}

}  // namespace
}  // namespace otp
