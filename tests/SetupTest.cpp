#include <gtest/gtest.h>

#include <filesystem>

#include "ops/Setup.h"
#include "tests/support/TempDir.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace otp {
namespace {

struct LocationCase {
  const char* name;
  PlaceFacts facts;
  const char* settingsFile;
  std::vector<std::string> monitorDirs;
  const char* scratchDir;
};

void ExpectLocations(const LocationCase& c) {
  SCOPED_TRACE(c.name);
  const FileLocations got = LocateFiles(c.facts);
  EXPECT_EQ(got.settingsFile, std::filesystem::path(c.settingsFile));
  EXPECT_EQ(got.monitorDirs, c.monitorDirs);
  EXPECT_EQ(got.scratchDir, c.scratchDir);
}

#ifndef _WIN32
TEST(LocateFiles, PortableCopyAndInstalledProgram) {
  const LocationCase cases[] = {
      {"a portable copy keeps everything in its folder",
       {"/opt/otp", true, "/h", "/c", "/d", "/s"},
       "/opt/otp/DATAFILE.TXT",
       {"/opt/otp/"},
       "/opt/otp/"},
      {"installed, every variable set",
       {"/usr/bin", false, "/h", "/c", "/d/", "/s1:/s2/"},
       "/c/otpwriter/DATAFILE.TXT",
       {"/usr/bin/", "/d/otpwriter/", "/s1/otpwriter/", "/s2/otpwriter/"},
       ""},
      {"installed, defaults from HOME",
       {"/usr/bin", false, "/h", "", "", ""},
       "/h/.config/otpwriter/DATAFILE.TXT",
       {"/usr/bin/", "/h/.local/share/otpwriter/", "/usr/local/share/otpwriter/",
        "/usr/share/otpwriter/"},
       ""},
      {"relative folders count as unset",
       {"/usr/bin", false, "/h", "conf", "data", "rel::/s"},
       "/h/.config/otpwriter/DATAFILE.TXT",
       {"/usr/bin/", "/h/.local/share/otpwriter/", "/s/otpwriter/"},
       ""},
      {"no home at all: the settings stay beside the program",
       {"/usr/bin", false, "", "", "", ""},
       "/usr/bin/DATAFILE.TXT",
       {"/usr/bin/", "/usr/local/share/otpwriter/", "/usr/share/otpwriter/"},
       ""},
  };
  for (const LocationCase& c : cases)
    ExpectLocations(c);
}

// A system folder of programs is no place for settings, even for root; a folder the user
// may not write to is none either.
TEST(PlaceFactsOf, WritableFolders) {
  test::TempDir dir;
  EXPECT_TRUE(PlaceFactsOf(dir.path().string()).programDirWritable);
  EXPECT_FALSE(PlaceFactsOf("/usr/bin").programDirWritable);
  EXPECT_FALSE(PlaceFactsOf("/usr/bin/").programDirWritable);
  if (::geteuid() != 0) {
    ::chmod(dir.path().c_str(), 0555);
    EXPECT_FALSE(PlaceFactsOf(dir.path().string()).programDirWritable);
    ::chmod(dir.path().c_str(), 0755);
  }
}
#else
TEST(LocateFiles, PortableCopyAndInstalledProgram) {
  const LocationCase cases[] = {
      {"installed under Program Files",
       {"C:\\Program Files\\otp", false, "C:\\Users\\u", "C:\\Users\\u\\AppData\\Roaming",
        "C:\\Users\\u\\AppData\\Local", "C:\\nowhere\\ProgramData"},
       "C:\\Users\\u\\AppData\\Roaming\\otpwriter\\DATAFILE.TXT",
       {"C:\\Program Files\\otp\\", "C:\\Users\\u\\AppData\\Local\\otpwriter\\",
        "C:\\nowhere\\ProgramData\\otpwriter\\"},
       ""},
      {"a portable copy",
       {"D:\\tools\\otp", true, "C:\\Users\\u", "C:\\a", "C:\\l", "C:\\p"},
       "D:\\tools\\otp\\DATAFILE.TXT",
       {"D:\\tools\\otp\\"},
       "D:\\tools\\otp\\"},
  };
  for (const LocationCase& c : cases)
    ExpectLocations(c);
}

TEST(PlaceFactsOf, WritableFolders) {
  test::TempDir dir;
  EXPECT_TRUE(PlaceFactsOf(dir.path().string()).programDirWritable);
  EXPECT_FALSE(PlaceFactsOf(dir.path().string() + "\\absent").programDirWritable);
  // The probe leaves nothing behind.
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}
#endif

TEST(FolderHolding, FirstFolderWithTheFileElseTheFirst) {
  test::TempDir a, b, c;
  b.Write("m_otp.150", "b");
  c.Write("m_otp.150", "c");
  EXPECT_EQ(FolderHolding({a.dir(), b.dir(), c.dir()}, "m_otp.150"), b.dir());
  EXPECT_EQ(FolderHolding({a.dir(), b.dir()}, "m_otp.630"), a.dir());
}

}  // namespace
}  // namespace otp
