#include <gtest/gtest.h>

#include <map>

#include "link/Protocol.h"
#include "tests/support/Faults.h"
#include "tests/support/SRecords.h"
#include "tests/support/WriterFixture.h"

namespace otp {
namespace {

using test::Fault;

const char* const kRedo = "Please redo from download operation";

std::string Error(const char* text) {
  return std::string("ERROR !!\n ") + text;
}

std::vector<std::uint32_t> Blocks(std::uint32_t first, std::uint32_t last) {
  std::vector<std::uint32_t> addresses;
  for (std::uint32_t a = first; a <= last; a += 256)
    addresses.push_back(a);
  return addresses;
}

class OperationsTest : public test::WriterFixture {
 protected:
  /// Writes an S-record file with `bytes` (address to value) and returns its path.
  std::string Image(const std::map<std::uint32_t, std::uint8_t>& bytes) {
    std::string text = "S00600004844521B\n";
    for (const auto& [address, value] : bytes)
      text += test::Record('1', address, {value}) + "\n";
    text += "S9030000FC\n";
    return dir.Write("image.mhx", text).string();
  }
  std::size_t ProgramCommands() const {
    std::size_t count = 0;
    for (const auto command : board.commands)
      count += command == proto::kCmdProgramBlock;
    return count;
  }
};

// Blank Check

TEST_F(OperationsTest, BlankDeviceIsReadWholeAndOk) {
  Ready();
  writer.BlankCheck();
  EXPECT_EQ(board.readAddresses, Blocks(0xC000, 0xFF00));
  EXPECT_EQ(Reports(), std::vector<std::string>{" Blank Check OK !!"});
  EXPECT_EQ(view.acknowledged[0].icon, kIconInformation);
  EXPECT_EQ(view.high, 64);
  EXPECT_EQ(view.pos, 64);
  EXPECT_TRUE(writer.link.IsOpen());
}

TEST_F(OperationsTest, FirstNonBlankByteIsReportedAndNothingAfterIt) {
  struct Case {
    std::uint32_t address;
    std::uint8_t value;
    const char* report;
    std::size_t reads;
  };
  const Case cases[] = {
      {0xC000, 0x12, "Blank Check Error\n  Address   : 0xC000\n  OTPmemory : 0x12", 1},
      {0xC3FF, 0x00, "Blank Check Error\n  Address   : 0xC3FF\n  OTPmemory : 0x00", 4},
      {0xFFFF, 0xFE, "Blank Check Error\n  Address   : 0xFFFF\n  OTPmemory : 0xFE", 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.report);
    board.memory().fill(0xFF);
    board.memory()[c.address] = c.value;
    if (c.address < 0xFFFF) board.memory()[c.address + 1] = 0x00;  // never looked at
    Ready();
    writer.BlankCheck();
    EXPECT_EQ(Reports(), std::vector<std::string>{c.report});
    EXPECT_EQ(view.acknowledged[0].icon, kIconExclamation);
    EXPECT_EQ(board.readAddresses.size(), c.reads);
    EXPECT_EQ(view.pos, static_cast<int>(c.reads) - 1);  // not stepped for that block
    EXPECT_TRUE(writer.link.IsOpen());
  }
}

TEST_F(OperationsTest, ShortAnswerAskedAgainWithYes) {
  Ready();
  board.AddFault(Fault("read-data@2:short=100"));
  view.answers = {true};
  // The rest of the broken answer comes late, while the question is open: it is dropped,
  // never taken for the reply to the next command.
  view.onQuestion = [this] {
    for (int i = 0; i < 157; ++i)
      board.output().push_back({0xFF, clock.nowUs()});
    clock.Sleep(std::chrono::milliseconds(500));
  };
  const int purges = line.purges;
  writer.BlankCheck();
  ASSERT_EQ(view.questions.size(), 1u);
  EXPECT_EQ(view.questions[0].first, "COMM error detected\nContinue?");
  EXPECT_EQ(view.questions[0].second, "BlankChecking");
  EXPECT_EQ(line.purges, purges + 1);
  std::vector<std::uint32_t> expected = Blocks(0xC000, 0xFF00);
  expected.insert(expected.begin() + 1, 0xC100);  // the same block once more
  EXPECT_EQ(board.readAddresses, expected);
  EXPECT_EQ(Reports(), std::vector<std::string>{" Blank Check OK !!"});
  EXPECT_EQ(view.pos, 64);
}

TEST_F(OperationsTest, ShortAnswerStoppedWithNo) {
  Ready();
  board.AddFault(Fault("read-data@2:short=256"));
  view.answers = {false};
  writer.BlankCheck();
  EXPECT_EQ(view.questions.size(), 1u);
  EXPECT_TRUE(Reports().empty());
  EXPECT_EQ(board.readAddresses.size(), 2u);
  EXPECT_TRUE(writer.link.IsOpen());
  // Blank Check can run again at once.
  view.ClearRecords();
  writer.BlankCheck();
  EXPECT_EQ(Reports(), std::vector<std::string>{" Blank Check OK !!"});
}

TEST_F(OperationsTest, BlockReadFailuresEndWithAnErrorReport) {
  struct Case {
    const char* fault;
    const char* report;
    std::size_t answers;
  };
  const Case cases[] = {
      {"read-data@3:badsum", " No.020 Sum error", 3},
      {"read-reply@2:byte=0x22", " No.020 Sum error", 1},
      {"read-reply@2:byte=0x01", " No.021 Coordination error", 1},
      {"read-reply@2:silent", " No.003 Timeout error", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    board = sim::TargetBoard();
    Ready();
    board.AddFault(Fault(c.fault));
    writer.BlankCheck();
    EXPECT_EQ(Reports(), (std::vector<std::string>{Error(c.report), kRedo}));
    EXPECT_EQ(board.readAddresses.size(), c.answers);
    EXPECT_FALSE(writer.link.IsOpen());
  }
}

TEST_F(OperationsTest, BlankCheckCanceled) {
  Ready();
  view.cancelPressed = true;  // before the first block
  writer.BlankCheck();
  EXPECT_EQ(Reports(), std::vector<std::string>{"Blank Check Canceled"});
  EXPECT_TRUE(board.commands.empty());

  view.ClearRecords();
  bool pressed = false;
  view.onPump = [&pressed](test::FakeView& v) {
    if (v.positions.size() == 6 && !pressed) v.cancelPressed = pressed = true;  // after 5 blocks
  };
  writer.BlankCheck();
  EXPECT_EQ(Reports(), std::vector<std::string>{"Blank Check Canceled"});
  EXPECT_EQ(view.acknowledged[0].icon, kIconInformation);
  EXPECT_EQ(board.readAddresses.size(), 5u);
  EXPECT_TRUE(writer.link.IsOpen());
}

TEST_F(OperationsTest, PressDuringTheLastBlockDoesNotDismissTheVerdict) {
  Ready();
  line.onWrite = [this](const std::uint8_t* data, std::size_t count) {
    if (count == 6 && data[1] == 0xFF) view.cancelPressed = true;  // while 0xFF00 is read
  };
  writer.BlankCheck();
  EXPECT_EQ(board.readAddresses.size(), 64u);
  // The verdict stayed until a fresh press.
  EXPECT_EQ(Reports(), std::vector<std::string>{" Blank Check OK !!"});
}

// Program+Verify

TEST_F(OperationsTest, BlankImageSendsNothing) {
  Ready();
  writer.RunProgramVerify(Image({{0xC000, 0xFF}, {0xFFFF, 0xFF}}));
  EXPECT_TRUE(line.written.empty());
  EXPECT_EQ(Reports(), std::vector<std::string>{" Program+Verify OK !!"});
  EXPECT_EQ(view.high, 64);
  EXPECT_EQ(view.pos, 64);
}

// A file without a single data byte (a failed build's empty output) is no image to
// program: the decoder's box, no verdict, nothing sent. Comparing against it still works.
TEST_F(OperationsTest, FileWithoutDataIsNoImageToProgram) {
  for (const std::string& contents :
       {std::string(), std::string("S00600004844521B\nS5030000FC\nS9030000FC\n")}) {
    SCOPED_TRACE(contents);
    Ready();
    writer.RunProgramVerify(dir.Write("empty.mhx", contents).string());
    EXPECT_TRUE(line.written.empty());
    EXPECT_TRUE(Reports().empty());
    EXPECT_EQ(view.messages, (std::vector<std::pair<std::string, std::string>>{
                                 {"no data in file", "S format decoder"}}));
    EXPECT_TRUE(writer.link.IsOpen());
    view.ClearRecords();
    writer.RunReadCompare((dir / "empty.mhx").string());
    EXPECT_EQ(Reports(), std::vector<std::string>{" Read+Compare  OK !!"});
  }
}

// A file that cannot be read to its end never yields an image: nothing is programmed,
// and the message names the line where reading stopped.
TEST_F(OperationsTest, ReadErrorMidFileProgramsNothing) {
  // Hands out one 64 KiB piece of text, then fails as a disk or a network share does.
  class FailingBuffer final : public std::streambuf {
   public:
    explicit FailingBuffer(std::string text) : text_(std::move(text)) {
      setg(text_.data(), text_.data(), text_.data() + text_.size());
    }

   protected:
    int_type underflow() override { throw std::ios_base::failure("read error"); }

   private:
    std::string text_;
  };
  // A good record on line 1, then skipped lines up to exactly 64 KiB.
  std::string text = test::Record('1', 0xC000, {1, 2}) + "\n";
  int lines = 1;
  while (text.size() < 65536) {
    const std::size_t left = 65536 - text.size();
    text += "S0" + std::string(left > 200 ? 97 : left - 3, 'A') + "\n";
    ++lines;
  }
  ASSERT_EQ(text.size(), 65536u);
  Ready();
  FailingBuffer buffer(text);
  std::istream image(&buffer);
  writer.RunProgramVerify(image);
  EXPECT_TRUE(line.written.empty());
  EXPECT_TRUE(board.programAddresses.empty());
  EXPECT_TRUE(Reports().empty());
  EXPECT_EQ(view.messages,
            (std::vector<std::pair<std::string, std::string>>{
                {"file read error in " + std::to_string(lines + 1), "S format decoder"}}));
}

TEST_F(OperationsTest, BlockWithOneByteIsSentWhole) {
  Ready();
  writer.RunProgramVerify(Image({{0xC105, 0x42}}));
  EXPECT_EQ(board.programAddresses, std::vector<std::uint32_t>{0xC100});
  // Frame, 256 data bytes with the 0xFF ones, sum.
  ASSERT_EQ(line.written.size(), 6u + 257u);
  EXPECT_EQ(line.written[0], 0x08);
  EXPECT_EQ(line.written[6 + 5], 0x42);
  EXPECT_EQ(std::count(line.written.begin() + 6, line.written.end() - 1, 0xFF), 255);
  EXPECT_EQ(board.memory()[0xC105], 0x42);
  EXPECT_EQ(Reports(), std::vector<std::string>{" Program+Verify OK !!"});
  EXPECT_TRUE(writer.link.IsOpen());
}

TEST_F(OperationsTest, FailedBlockWriteIsReportedThenNg) {
  struct Case {
    const char* fault;
    const char* report;
  };
  const Case cases[] = {
      {"program-status@2:byte=0x02", " No.020 Sum error"},
      {"program-status@2:silent", " No.003 Timeout error"},
      {"program-status@2:byte=0x04", " No.018 Device error"},
      {"program-status@2:byte=0x05", " No.011 Communication error"},
      {"program-status@2:byte=0x03", " No.003 Timeout error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    board = sim::TargetBoard();
    Ready();
    board.AddFault(Fault(c.fault));
    // Data in blocks 0, 1, 3 and 5: the write of block 1 fails.
    writer.RunProgramVerify(
        Image({{0xC000, 0x01}, {0xC100, 0x02}, {0xC300, 0x03}, {0xC500, 0x04}}));
    EXPECT_EQ(Reports(),
              (std::vector<std::string>{Error(c.report), kRedo, " Program+Verify NG !!"}));
    EXPECT_EQ(view.acknowledged.back().icon, kIconInformation);
    EXPECT_EQ(ProgramCommands(), 2u);  // no block after the failed one
    EXPECT_EQ(view.pos, 1);            // the bar stands at the blocks done
    EXPECT_FALSE(writer.link.IsOpen());
  }
}

TEST_F(OperationsTest, ProgrammingOverConflictingBitsIsADeviceError) {
  board.memory()[0xC000] = 0x0F;  // programmed before
  Ready();
  writer.RunProgramVerify(Image({{0xC000, 0xF0}}));
  EXPECT_EQ(Reports(), (std::vector<std::string>{Error(" No.018 Device error"), kRedo,
                                                 " Program+Verify NG !!"}));
  EXPECT_EQ(board.memory()[0xC000], 0x00);  // the bits that could be cleared were
}

TEST_F(OperationsTest, RefusedProgramCommandEndsWithoutVerdict) {
  Ready();
  board.AddFault(Fault("program-reply@1:byte=0x04"));
  writer.RunProgramVerify(Image({{0xC000, 0x01}}));
  EXPECT_EQ(Reports(), (std::vector<std::string>{Error(" No.018 Device error"), kRedo}));
}

TEST_F(OperationsTest, ProgrammingCanceled) {
  Ready();
  view.cancelPressed = true;
  writer.RunProgramVerify(Image({{0xC000, 0x01}}));
  EXPECT_EQ(Reports(), std::vector<std::string>{"Programming Canceled"});
  EXPECT_TRUE(line.written.empty());
  EXPECT_TRUE(writer.link.IsOpen());
}

TEST_F(OperationsTest, ImageThatCannotBeBuiltSendsNothing) {
  Ready();
  dir.Write("bad.mhx", "S1 not a record\n");
  writer.RunProgramVerify((dir / "bad.mhx").string());
  writer.RunReadCompare((dir / "bad.mhx").string());
  EXPECT_EQ(view.messages.size(), 2u);
  EXPECT_EQ(view.messages[0],
            (std::pair<std::string, std::string>{"decode error in 1", "S format decoder"}));
  EXPECT_TRUE(line.written.empty());
  EXPECT_TRUE(Reports().empty());
  EXPECT_TRUE(writer.link.IsOpen());
}

// Read+Compare

TEST_F(OperationsTest, DeviceEqualToTheImage) {
  board.memory()[0xC000] = 0x11;
  board.memory()[0xFFFF] = 0x22;
  Ready();
  writer.RunReadCompare(Image({{0xC000, 0x11}, {0xFFFF, 0x22}}));
  EXPECT_EQ(board.readAddresses.size(), 64u);
  EXPECT_TRUE(view.differences.empty());
  EXPECT_EQ(Reports(), std::vector<std::string>{" Read+Compare  OK !!"});
}

std::string Difference(const char* address, const char* device, const char* image) {
  return std::string("Difference is detected.\n Address : ") + address +
         "\n OTPmemory : " + device + "\n HexFile        : " + image;
}

TEST_F(OperationsTest, EveryDifferenceStopsUntilContinueAndTheVerdictIsNg) {
  board.memory()[0xC250] = 0x00;  // the file has nothing there
  Ready();
  std::vector<test::FakeView::Seen> afterContinue;
  view.onPump = [&](test::FakeView& v) {
    if (!v.differences.empty() && !v.continueShown) afterContinue.push_back({v.status, v.icon});
  };
  writer.RunReadCompare(Image({{0xC210, 0x42}, {0xC2FF, 0x01}, {0xC8FF, 0x7E}}));
  ASSERT_EQ(view.differences.size(), 4u);
  EXPECT_EQ(view.differences[0].status, Difference("0xC210", "0xFF", "0x42"));
  EXPECT_EQ(view.differences[0].icon, kIconExclamation);
  EXPECT_EQ(view.differences[1].status, Difference("0xC250", "0x00", "0xFF"));
  EXPECT_EQ(view.differences[2].status, Difference("0xC2FF", "0xFF", "0x01"));
  EXPECT_EQ(view.differences[3].status, Difference("0xC8FF", "0xFF", "0x7E"));
  // After Continue the status and the icon are back.
  ASSERT_FALSE(afterContinue.empty());
  EXPECT_EQ(afterContinue[0].status, " Reading+Compareing");
  EXPECT_EQ(afterContinue[0].icon, kIconNone);
  // A device that differs from the image is never OK.
  EXPECT_EQ(Reports(), std::vector<std::string>{" Read+Compare  NG !!"});
  EXPECT_EQ(board.readAddresses.size(), 64u);
  EXPECT_EQ(view.pos, 64);
}

TEST_F(OperationsTest, ThreeDifferencesInOneBlockStepTheBarOnce) {
  Ready();
  std::vector<int> positionsAtStops;
  view.atDifference = [&](const std::string&) {
    positionsAtStops.push_back(view.pos);
    return true;
  };
  writer.RunReadCompare(Image({{0xC302, 0x01}, {0xC301, 0x02}, {0xC3F0, 0x03}}));
  ASSERT_EQ(view.differences.size(), 3u);
  EXPECT_EQ(view.differences[0].status, Difference("0xC301", "0xFF", "0x02"));
  EXPECT_EQ(view.differences[1].status, Difference("0xC302", "0xFF", "0x01"));
  EXPECT_EQ(view.differences[2].status, Difference("0xC3F0", "0xFF", "0x03"));
  EXPECT_EQ(positionsAtStops, (std::vector<int>{3, 3, 3}));
}

TEST_F(OperationsTest, CancelAtADifference) {
  Ready();
  view.atDifference = [](const std::string&) { return false; };
  writer.RunReadCompare(Image({{0xC410, 0x42}, {0xC411, 0x43}}));
  EXPECT_EQ(view.differences.size(), 1u);
  EXPECT_FALSE(view.continueShown);
  EXPECT_EQ(Reports(), std::vector<std::string>{"Read+Compare Canceled"});
  EXPECT_EQ(board.readAddresses.size(), 5u);  // no block after it
  EXPECT_TRUE(writer.link.IsOpen());
}

// Continue and Cancel both pressed at one stop: Cancel wins, and the next difference of
// the same block is never shown.
TEST_F(OperationsTest, CancelWinsOverContinueAtADifference) {
  Ready();
  view.atDifference = [this](const std::string&) {
    view.cancelPressed = true;
    return true;  // and Continue
  };
  std::vector<std::string> statuses;
  view.onPump = [&](test::FakeView& v) { statuses.push_back(v.status); };
  writer.RunReadCompare(Image({{0xC410, 0x42}, {0xC411, 0x43}}));
  EXPECT_EQ(view.differences.size(), 1u);
  EXPECT_EQ(Reports(), std::vector<std::string>{"Read+Compare Canceled"});
  EXPECT_FALSE(view.continueShown);
  for (const std::string& status : statuses)
    EXPECT_EQ(status.find("0xC411"), std::string::npos);
  EXPECT_EQ(board.readAddresses.size(), 5u);
}

TEST_F(OperationsTest, ReadCompareShortAnswerAndChecksum) {
  Ready();
  board.AddFault(Fault("read-data@1:short=0"));
  board.AddFault(Fault("read-data@2:badsum"));
  view.answers = {true};
  writer.RunReadCompare(Image({}));
  ASSERT_EQ(view.questions.size(), 1u);
  EXPECT_EQ(view.questions[0].second, "Read+Compare");
  EXPECT_EQ(Reports(), (std::vector<std::string>{Error(" No.020 Sum error"), kRedo}));
}

TEST_F(OperationsTest, WholeSession) {
  ASSERT_TRUE(Download());
  writer.BlankCheck();
  const std::string image = Image({{0xC000, 0x10}, {0xD123, 0x20}, {0xFFFF, 0x30}});
  writer.RunProgramVerify(image);
  writer.RunReadCompare(image);
  writer.BlankCheck();
  EXPECT_EQ(Reports(), (std::vector<std::string>{
                           " Download  OK !!", " Blank Check OK !!", " Program+Verify OK !!",
                           " Read+Compare  OK !!",
                           "Blank Check Error\n  Address   : 0xC000\n  OTPmemory : 0x10"}));
}

}  // namespace
}  // namespace otp
