#include <gtest/gtest.h>

#include <fstream>

#include "settings/Settings.h"
#include "tests/support/TempDir.h"

namespace otp {
namespace {

TEST(Settings, DefaultsWithoutAFile) {
  test::TempDir dir;
  const RecentSettings settings = ReadRecentSettings(dir / "DATAFILE.TXT");
  EXPECT_EQ(settings.cpu, 0);
  EXPECT_EQ(settings.rate, 0);
  EXPECT_EQ(settings.com, 1);
  EXPECT_EQ(settings.hexFile, "");
}

TEST(Settings, RoundTripKeepsForeignLines) {
  test::TempDir dir;
  const auto file = dir.Write("DATAFILE.TXT", "[Ports]\nCOM3=/dev/ttyACM0\n");
  WriteRecentSettings(file, RecentSettings{1, 2, 3, ""});
  EXPECT_EQ(dir.Read("DATAFILE.TXT"),
            "[Ports]\nCOM3=/dev/ttyACM0\n[Recent]\nCPU=1\nRATE=2\nCOM=3\nWrite File=\n");
  const RecentSettings back = ReadRecentSettings(file);
  EXPECT_EQ(back.cpu, 1);
  EXPECT_EQ(back.rate, 2);
  EXPECT_EQ(back.com, 3);
  EXPECT_EQ(back.hexFile, "");
}

TEST(Settings, ComNamesResolveToDevices) {
  test::TempDir dir;
  const auto file = dir.Write("DATAFILE.TXT", "[ports]\ncom2 = /tmp/board\n");
  struct Case {
    const char* name;
    const char* device;
  };
#ifdef _WIN32
  // The names are the system's own: each stands for itself.
  const Case cases[] = {{"COM1", "COM1"}, {"COM2", "COM2"}, {"COM4", "COM4"}};
#else
  const Case cases[] = {{"COM1", "/dev/ttyUSB0"},
                        {"COM2", "/tmp/board"},
                        {"COM4", "/dev/ttyUSB3"},
                        {"COM0", ""},
                        {"", ""},
                        {"COMX", ""},
                        {"LPT1", ""}};
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ResolveComDevice(c.name, file), c.device);
  }
}

TEST(Settings, ModuleDirEndsWithASeparator) {
#ifdef _WIN32
  EXPECT_EQ(ModuleDirFrom("C:\\nowhere\\otp"), "C:\\nowhere\\otp\\");
  EXPECT_EQ(ModuleDirFrom("C:\\nowhere\\otp\\"), "C:\\nowhere\\otp\\");
  EXPECT_EQ(ModuleDirFrom("C:/nowhere/otp/"), "C:/nowhere/otp/");
  EXPECT_EQ(InModuleDir("C:\\nowhere\\otp\\", "DATAFILE.TXT"),
            std::filesystem::path("C:\\nowhere\\otp\\DATAFILE.TXT"));
  // A folder that exists comes in its short form, whose names hold no blank.
  test::TempDir dir;
  const auto longName = dir.path() / "a folder with a long name";
  std::filesystem::create_directories(longName);
  const std::string shortForm = ModuleDirFrom(longName.string());
  EXPECT_EQ(shortForm.find(' '), std::string::npos) << shortForm;
  {
    std::ofstream probe(InModuleDir(shortForm, "probe.txt"));
    probe << "through the short form";
  }
  EXPECT_EQ(test::TempDir::ReadFile(longName / "probe.txt"), "through the short form") << shortForm;
#else
  EXPECT_EQ(ModuleDirFrom("/opt/otp"), "/opt/otp/");
  EXPECT_EQ(ModuleDirFrom("/opt/otp/"), "/opt/otp/");
  EXPECT_EQ(InModuleDir("/opt/otp/", "DATAFILE.TXT"),
            std::filesystem::path("/opt/otp/DATAFILE.TXT"));
#endif
}

}  // namespace
}  // namespace otp
