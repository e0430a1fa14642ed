#include <gtest/gtest.h>

#include "tests/support/SRecords.h"
#include "tests/support/WriterFixture.h"

namespace otp {
namespace {

// The image of these tests: blocks 0xC000-0xC3FF and 0xF000 hold data, the rest is 0xFF.
class PlanTest : public test::WriterFixture {
 protected:
  std::string ImageFile() {
    std::string text;
    for (std::uint32_t a = 0xC000; a < 0xC400; a += 16)
      text += test::Record('1', a, std::vector<std::uint8_t>(16, Value(a))) + "\n";
    text += test::Record('1', 0xF000, {0x0F, 0xF0}) + "\n";
    return dir.Write("plan.mhx", text).string();
  }
  static std::uint8_t Value(std::uint32_t address) {
    return static_cast<std::uint8_t>(0x30 + ((address >> 4) & 0x0F));
  }
  // The device as the image would leave it.
  void Programmed() {
    for (std::uint32_t a = 0xC000; a < 0xC400; ++a)
      board.memory()[a] = Value(a & ~0xFu);
    board.memory()[0xF000] = 0x0F;
    board.memory()[0xF001] = 0xF0;
  }
  std::string Classes(const BurnPlan& plan) const {
    std::string marks;
    for (const BlockClass c : plan.blocks)
      marks += BlockClassMark(c);
    return marks;
  }
};

TEST_F(PlanTest, ClassifiesEveryBlock) {
  const std::string rest = std::string(44, '.') + "+" + std::string(15, '.');
  struct Case {
    const char* what;
    std::function<void(sim::TargetBoard&)> device;
    std::string classes;
    bool good;
    const char* report;
  };
  const Case cases[] = {
      {"blank part", [](sim::TargetBoard&) {}, "++++" + rest, true,
       " Plan  OK !!\n Write 5  Done 0\n Completable 0\n Skip 59"},
      {"same image already programmed", [this](sim::TargetBoard&) { Programmed(); },
       "====" + std::string(44, '.') + "=" + std::string(15, '.'), true,
       " Plan  OK !!\n Write 0  Done 5\n Completable 0\n Skip 59"},
      {"interrupted run: two blocks done, the third half done",
       [this](sim::TargetBoard& b) {
         Programmed();
         std::fill(b.memory().begin() + 0xC280, b.memory().begin() + 0x10000, 0xFF);
       },
       "==~+" + rest, true, " Plan  OK !!\n Write 2  Done 2\n Completable 1\n Skip 59"},
      {"a foreign image",
       [](sim::TargetBoard& b) {
         b.memory()[0xC010] = 0x00;  // the image wants 0x31 there
         b.memory()[0xC011] = 0x31;
         b.memory()[0xC3FF] = 0x00;
       },
       "X++X" + rest, false,
       " Plan  NG !!  Conflict 2\n Write 3  Done 0  Compl. 0\n Address : 0xC010\n"
       " OTPmemory : 0x00  HexFile : 0x31"},
      {"data where the image has none is skipped, never a conflict",
       [](sim::TargetBoard& b) {
         std::fill(b.memory().begin() + 0xD000, b.memory().begin() + 0xE000, 0x00);
       },
       "++++" + rest, true, " Plan  OK !!\n Write 5  Done 0\n Completable 0\n Skip 59"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    board.memory().fill(0xFF);
    c.device(board);
    Ready();
    BurnPlan plan;
    const Outcome outcome = writer.RunCheckAgainstDevice(ImageFile(), plan);
    EXPECT_EQ(outcome, c.good ? Outcome::kOk : Outcome::kNotGood);
    EXPECT_EQ(Classes(plan), c.classes);
    EXPECT_EQ(Reports(), std::vector<std::string>{c.report});
    EXPECT_EQ(view.acknowledged[0].icon, c.good ? kIconInformation : kIconExclamation);
    EXPECT_EQ(board.readAddresses.size(), 64u);  // one read pass
    EXPECT_TRUE(board.programAddresses.empty());
    EXPECT_TRUE(writer.link.IsOpen());
    if (!c.good) {
      EXPECT_EQ(plan.conflictBytes, 2u);  // 0xC011 already equals the image
      ASSERT_EQ(plan.conflicts.size(), 2u);
      EXPECT_EQ(plan.conflicts[1].address, 0xC3FFu);
      EXPECT_EQ(plan.conflicts[1].file, Value(0xC3F0));
    }
  }
}

// Programming with a plan writes only what is missing, and the part ends equal to the image.
TEST_F(PlanTest, ResumeProgramsOnlyWhatIsMissing) {
  Programmed();
  std::fill(board.memory().begin() + 0xC280, board.memory().end(), 0xFF);
  Ready();
  BurnPlan plan;
  ASSERT_EQ(writer.RunCheckAgainstDevice(ImageFile(), plan), Outcome::kOk);
  view.ClearRecords();
  EXPECT_EQ(writer.ProgramVerify(&plan), Outcome::kOk);
  EXPECT_EQ(board.programAddresses, (std::vector<std::uint32_t>{0xC200, 0xC300, 0xF000}));
  view.ClearRecords();
  EXPECT_EQ(writer.RunReadCompare(), Outcome::kOk);
}

}  // namespace
}  // namespace otp
