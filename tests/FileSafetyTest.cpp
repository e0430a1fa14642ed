#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>

#include "core/AtomicFile.h"
#include "link/PortAccess.h"
#include "settings/Settings.h"
#include "tests/support/TempDir.h"

#ifndef _WIN32
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

namespace otp {
namespace {

#ifndef _WIN32
// Runs `child` in a process of its own (as `uid` when given); its exit status.
int InChild(const std::function<int()>& child, std::optional<uid_t> uid = std::nullopt) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (uid && (::setgid(*uid) != 0 || ::setuid(*uid) != 0)) ::_exit(90);
    ::_exit(child());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

mode_t ModeOf(const std::filesystem::path& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

// What a file written atomically must never do: follow a link planted beside it, take a
// file of the user's, lose its mode, or leave a part behind when the disk refuses.
TEST(FileSafety, AtomicWritesTakeNothingThatIsNotTheirs) {
  test::TempDir dir;
  const auto out = dir / "out.hex";
  // Another user plants OUT.tmp as a link to a file of the victim's.
  const auto victim = dir.Write("victim.txt", "precious");
  std::filesystem::create_symlink(victim, dir / "out.hex.tmp");
  ASSERT_TRUE(WriteFileAtomically(out, "first"));
  EXPECT_EQ(dir.Read("victim.txt"), "precious");
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "out.hex.tmp"));
  // The user's own OUT.tmp stays as it is.
  std::filesystem::remove(dir / "out.hex.tmp");
  dir.Write("out.hex.tmp", "mine");
  ASSERT_TRUE(WriteFileAtomically(out, "second"));
  EXPECT_EQ(dir.Read("out.hex.tmp"), "mine");
  EXPECT_EQ(dir.Read("out.hex"), "second");
  // A file only its owner may read stays so; a new file gets what the umask allows.
  ASSERT_EQ(::chmod(out.c_str(), 0600), 0);
  ASSERT_TRUE(WriteFileAtomically(out, "third"));
  EXPECT_EQ(ModeOf(out), 0600u);
  const mode_t mask = ::umask(0027);
  ASSERT_TRUE(WriteFileAtomically(dir / "new.hex", "x"));
  ::umask(mask);
  EXPECT_EQ(ModeOf(dir / "new.hex"), 0640u);
  // A disk that takes only a few bytes: the write fails and the old file is whole.
  const int status = InChild([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4, 4};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::string error;
    const bool written = WriteFileAtomically(out, "a much longer text", &error);
    return written ? 1 : (error.empty() ? 2 : 0);
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(dir.Read("out.hex"), "third");
  int files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path()))
    ++files;
  EXPECT_EQ(files, 4);  // out.hex, out.hex.tmp, victim.txt, new.hex: no temporary left
  // A folder that cannot take the file is found before any work.
  EXPECT_EQ(WritableFolderError(out), "");
  EXPECT_NE(WritableFolderError(dir / "no" / "such.hex"), "");
  EXPECT_NE(WritableFolderError(dir.path()), "");
}

// A settings file the user may not read is never replaced: saving it would lose its
// other sections. As root (who reads everything) the save runs as another user.
TEST(FileSafety, AnUnreadableSettingsFileIsLeftAlone) {
  test::TempDir dir;
  const auto file = dir.Write("DATAFILE.TXT", "[Ports]\nCOM1=/dev/ttyS0\n[Recent]\nCPU=1\n");
  ASSERT_EQ(::chmod(file.c_str(), 0200), 0);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() == 0 && !nobody) GTEST_SKIP() << "no user nobody";
  std::optional<uid_t> as;
  if (::geteuid() == 0) {
    as = nobody->pw_uid;
    ASSERT_EQ(::chown(file.c_str(), 0, 0), 0);
  }
  const int status = InChild(
      [&] {
        RecentSettings settings;
        settings.cpu = 0;
        bool unreadable = false;
        const bool saved = WriteRecentSettings(file, settings, &unreadable);
        return !saved && unreadable ? 0 : 1;
      },
      as);
  EXPECT_EQ(status, 0);
  ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
  EXPECT_EQ(dir.Read("DATAFILE.TXT"), "[Ports]\nCOM1=/dev/ttyS0\n[Recent]\nCPU=1\n");
}
#endif

// A group is suggested only for a serial port of a group meant for serial ports.
TEST(FileSafety, ThePermissionHintSuggestsOnlySerialGroups) {
  struct Case {
    const char* what;
    PortAccessFacts facts;
    const char* says;
  };
  auto facts = [](bool serial, const char* group, bool inGroup = false) {
    PortAccessFacts f;
    f.serialPort = serial;
    f.owner = "root";
    f.group = group;
    f.mode = 0660;
    f.groupMayReadWrite = true;
    f.userInGroup = inGroup;
    f.user = "ana";
    return f;
  };
  const Case cases[] = {
      {"a serial port of dialout", facts(true, "dialout"), "sudo usermod -aG dialout ana"},
      {"a serial port of uucp", facts(true, "uucp"), "sudo usermod -aG uucp ana"},
      {"joined but not yet in this session", facts(true, "dialout", true), "newgrp dialout"},
      {"a serial port of group disk", facts(true, "disk"), "(owner root, group disk, mode 0660)"},
      {"a device of group sudo", facts(false, "sudo"), "(owner root, group sudo, mode 0660)"},
      {"a file of group shadow", facts(false, "shadow"), "(owner root, group shadow, mode 0660)"},
      {"no serial port, though dialout", facts(false, "dialout"), "group dialout, mode 0660)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string hint = PortAccessHintFor("/dev/x", c.facts);
    EXPECT_NE(hint.find(c.says), std::string::npos) << hint;
    const bool suggests = hint.find("usermod") != std::string::npos;
    EXPECT_EQ(suggests, std::string(c.says).find("usermod") != std::string::npos) << hint;
  }
}

}  // namespace
}  // namespace otp
