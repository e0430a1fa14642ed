#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "chip/ChipTable.h"
#include "core/ResultReporter.h"
#include "link/QtSerialPort.h"
#include "ops/CWriter.h"
#include "sim/PtyBoard.h"
#include "tests/support/FakeView.h"
#include "tests/support/Process.h"
#include "tests/support/SRecords.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestClock.h"

namespace otp {
namespace {

// Runs otp-target-sim with `args` to its end; its exit status.
int RunSimulator(const std::vector<std::string>& args) {
  return test::Process(OTP_SIM_PROGRAM, args).Wait();
}

TEST(SimulatorProgram, RefusesBadOptions) {
  EXPECT_EQ(RunSimulator({"--help"}), 0);
  EXPECT_EQ(RunSimulator({}), 2);
  EXPECT_EQ(RunSimulator({"--link", "/tmp/x", "--fault", "handshake:explode"}), 2);
  EXPECT_EQ(RunSimulator({"--link", "/tmp/x", "--bogus"}), 2);
  // Preset memory that cannot be used is refused before the board starts.
  test::TempDir dir;
  const std::string link = (dir / "tty").string();
  EXPECT_EQ(RunSimulator({"--link", link, "--memory", dir.path().string()}), 2);
  for (const std::string& records :
       {test::Record('3', 0xFFFFFFF0, {1, 2, 3}), test::Record('2', 0x010000, {1}),
        test::Record('1', 0xFFFF, {1, 2}), std::string("S1zz"), std::string("garbage")}) {
    SCOPED_TRACE(records);
    dir.Write("memory.mhx", test::Record('1', 0xC000, {1}) + "\n" + records + "\n");
    EXPECT_EQ(RunSimulator({"--link", link, "--memory-srec", (dir / "memory.mhx").string()}), 2);
  }
  EXPECT_EQ(RunSimulator({"--link", link, "--memory-srec", (dir / "missing.mhx").string()}), 2);
  EXPECT_FALSE(std::filesystem::exists(link));
}

TEST(SimulatorProgram, ServesItsMemoryFaultsAndTrace) {
  test::TempDir dir;
  const std::string link = (dir / "ttyBOARD").string();
  dir.Write("image.mhx", test::Record('1', 0xC123, {0x42}) + "\n");
  dir.Write("m_otp.150", std::string(100, 'm'));
  test::Process sim(OTP_SIM_PROGRAM,
                    {"--link", link, "--memory-srec", (dir / "image.mhx").string(), "--trace",
                     (dir / "trace.txt").string(), "--fault", "read-reply@3:byte=0x24"});
  if (!test::WaitForFile(link)) GTEST_SKIP() << "the simulator could not make its pseudo-terminal";

  test::TestClock clock(false);
  test::FakeView view;
  clock.onSleep = [&] { view.Operate(); };
  CWriter* writer = nullptr;
  ResultReporter reporter(view, clock, Language::kEnglish, [&] { writer->link.Close(); });
  CWriter bench(view, reporter, clock);
  writer = &bench;
  bench.spec.Assign(ChipTable()[1]);
  bench.m_strModuleDir = dir.dir();
  QtSerialPortFactory ports;
  const auto cwd = std::filesystem::current_path();
  ASSERT_EQ(bench.Download(ports, link, 2), Outcome::kOk);
  view.ClearRecords();
  bench.BlankCheck();  // the memory came from the S-record file
  view.NewWindow();
  bench.BlankCheck();  // the third read-block command is refused
  std::filesystem::current_path(cwd);
  sim.Signal(SIGTERM);
  const int status = sim.Wait();

  ASSERT_EQ(view.acknowledged.size(), 3u);
  EXPECT_EQ(view.acknowledged[0].status,
            "Blank Check Error\n  Address   : 0xC123\n  OTPmemory : 0x42");
  EXPECT_EQ(view.acknowledged[1].status, "ERROR !!\n  No.018 Device error");
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(std::filesystem::exists(link));  // the link goes with the simulator
  const std::string trace = dir.Read("trace.txt");
  EXPECT_NE(trace.find("host>board 18"), std::string::npos);
  EXPECT_NE(trace.find("board>host 11"), std::string::npos);
  EXPECT_NE(trace.find("board>host 24"), std::string::npos);
}

// A link belongs to the simulator that made it: a second one refuses a link that a live
// simulator holds, and a simulator removes only its own link when it ends.
TEST(SimulatorProgram, LinksBelongToTheirSimulator) {
  test::TempDir dir;
  const std::string link = (dir / "ttyBOARD").string();
  sim::TargetBoard first;
  sim::PtyBoard one(first, {link});
  std::string error;
  if (!one.Start(&error)) GTEST_SKIP() << "no pseudo-terminal: " << error;
  test::Process second(OTP_SIM_PROGRAM, {"--link", link});
  EXPECT_EQ(second.Wait(), 1);
  EXPECT_NE(second.Errors().find("is the link of a simulator that is running"), std::string::npos)
      << second.Errors();
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), one.device());
  one.Stop();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  // A link left behind by a simulator that is gone is taken over; one that somebody else
  // made since is left alone.
  std::filesystem::create_symlink("/dev/pts/nothing-here", link);
  sim::TargetBoard again;
  sim::PtyBoard two(again, {link});
  ASSERT_TRUE(two.Start(&error)) << error;
  std::filesystem::remove(link);
  std::filesystem::create_symlink("/dev/null", link);
  two.Stop();
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), "/dev/null");
}

// --dump: what the part holds, written when the simulator ends, in the format of its name.
TEST(SimulatorProgram, DumpsItsMemoryAtTheEnd) {
  test::TempDir dir;
  const std::string link = (dir / "ttyBOARD").string();
  dir.Write("image.mhx", test::Record('1', 0xC123, {0x42, 0x43}) + "\n");
  for (const char* name : {"dump.mhx", "dump.hex"}) {
    SCOPED_TRACE(name);
    test::Process sim(
        OTP_SIM_PROGRAM,
        {"--link", link, "--memory-srec", (dir / "image.mhx").string(), "--dump", name}, "",
        dir.path().string());
    if (!test::WaitForFile(link)) GTEST_SKIP() << "the simulator could not make its terminal";
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0) << sim.Errors();
    FlashImage image;
    const ImageResult read = LoadImageFile((dir / name).string(), 0, 0xFFFF, image);
    ASSERT_EQ(read.error, ImageError::kNone) << dir.Read(name);
    EXPECT_EQ(image[0xC124], 0x43);
    EXPECT_EQ(read.dataBytes, 32u);  // one record: the blank ones left out
  }
  test::Process refused(OTP_SIM_PROGRAM,
                        {"--link", link, "--dump", (dir / "no/dump.mhx").string()});
  EXPECT_EQ(refused.Wait(), 2);
}

}  // namespace
}  // namespace otp
