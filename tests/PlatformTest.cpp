// What differs between platforms: these run natively and, cross-built, under Windows.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/AtomicFile.h"
#include "core/Utf8Path.h"
#include "hexfile/FlashBuffer.h"
#include "ops/Setup.h"
#include "tests/support/SRecords.h"
#include "tests/support/TempDir.h"

namespace otp {
namespace {

// A folder whose name is not ASCII, as UTF-8 text, the form the program passes around.
std::string NonAsciiFolder(const test::TempDir& dir) {
  const std::string folder = Utf8FromPath(dir.path()) + "/Prüfung 日本語";
  std::filesystem::create_directories(PathFromUtf8(folder));
  return folder;
}

// The settings file is replaced as a whole, again and again, and keeps non-ASCII paths;
// on Windows its lines end in CR LF.
TEST(Platform, SettingsFileReplacedInANonAsciiFolder) {
  test::TempDir dir;
  const std::string folder = NonAsciiFolder(dir);
  const WriterSetup setup(LocateFiles({folder, true, "", "", "", ""}));
  for (int round = 0; round < 3; ++round) {
    RecentSettings settings;
    settings.cpu = round % 2;
    settings.hexFile = folder + "/app " + std::to_string(round) + " – ü.mhx";
    ASSERT_TRUE(setup.Save(settings)) << round;
    const RecentSettings back = setup.Load();
    EXPECT_EQ(back.cpu, round % 2);
    EXPECT_EQ(back.hexFile, settings.hexFile);
  }
  int files = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator(setup.settingsFile().parent_path()))
    ++files;
  EXPECT_EQ(files, 1);  // no temporary file left behind
  EXPECT_TRUE(
      std::filesystem::equivalent(setup.settingsFile().parent_path(), PathFromUtf8(folder)));
  const std::string text = test::TempDir::ReadFile(setup.settingsFile());
#ifdef _WIN32
  EXPECT_NE(text.find("[Recent]\r\n"), std::string::npos) << text;
#else
  EXPECT_NE(text.find("[Recent]\n"), std::string::npos) << text;
#endif
}

// A file replaced while the old one is still there, and a replacement that cannot happen
// (the target is a folder) leaves the old contents and no temporary file.
TEST(Platform, AtomicReplace) {
  test::TempDir dir;
  const auto file = PathFromUtf8(NonAsciiFolder(dir)) / "out.mhx";
  ASSERT_TRUE(WriteFileAtomically(file, "first"));
  ASSERT_TRUE(WriteFileAtomically(file, "second, longer"));
  EXPECT_EQ(test::TempDir::ReadFile(file), "second, longer");
  const auto folder = file.parent_path() / "a folder";
  std::filesystem::create_directories(folder);
  std::string error;
  EXPECT_FALSE(WriteFileAtomically(folder, "x", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  int files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(file.parent_path()))
    ++files;
  EXPECT_EQ(files, 2);  // out.mhx and the folder: no temporary file left behind
}

// Hex Files are read as text files are on Windows: CR LF ends a line, Ctrl-Z ends the
// file, and the last line counts without a line end. The same file gives the same image
// on every platform, from a folder whose name is not ASCII.
TEST(Platform, HexFileWithCrLfLineEnds) {
  test::TempDir dir;
  const std::string name = NonAsciiFolder(dir) + "/ファイル.mhx";
  const std::string text = test::Record('1', 0xC000, {1, 2, 3}) + "\r\n" +
                           test::Record('1', 0xC010, {4}) + "\r\n" +
                           test::Record('1', 0xC020, {5}) + "\x1A" + "garbage after Ctrl-Z\r\n";
  {
    std::ofstream out(PathFromUtf8(name), std::ios::binary);
    out << text;
  }
  FlashImage image;
  const ImageResult result = LoadImageFile(name, 0xC000, 0xFFFF, image);
  ASSERT_EQ(result.error, ImageError::kNone) << result.line;
  EXPECT_EQ(result.dataBytes, 5u);
  EXPECT_EQ(image[0xC002], 3);
  EXPECT_EQ(image[0xC010], 4);
  EXPECT_EQ(image[0xC020], 5);

  // A carriage return that ends no line is still an error, on its line.
  {
    std::ofstream out(PathFromUtf8(name), std::ios::binary | std::ios::trunc);
    out << test::Record('1', 0xC000, {1}) << "\r\n" << test::Record('1', 0xC010, {4}) << "\r\r\n";
  }
  const ImageResult bad = LoadImageFile(name, 0xC000, 0xFFFF, image);
  EXPECT_NE(bad.error, ImageError::kNone);
  EXPECT_EQ(bad.line, 2);
}

}  // namespace
}  // namespace otp
