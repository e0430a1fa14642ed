#include "link/PortAccess.h"

#include <cstdio>

#ifndef _WIN32
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <vector>
#endif

namespace otp {

namespace {

// Groups that distributions give serial ports to, and that grant nothing else.
bool SerialGroup(const std::string& group) {
  return group == "dialout" || group == "uucp" || group == "serial";
}

}  // namespace

std::string PortAccessHintFor(const std::string& device, const PortAccessFacts& facts) {
  const std::string denied = "permission denied on " + device;
  char mode[8];
  std::snprintf(mode, sizeof(mode), "%04o", facts.mode & 07777);
  const std::string owned = " (owner " + (facts.owner.empty() ? "?" : facts.owner) + ", group " +
                            (facts.group.empty() ? "?" : facts.group) + ", mode " + mode + ")";
  if (!facts.serialPort || !SerialGroup(facts.group) || !facts.groupMayReadWrite ||
      facts.processInGroup) {
    return denied + owned;
  }
  if (facts.userInGroup) {
    return denied + ": " + facts.user + " is in group " + facts.group +
           ", but this session is not yet; log out and in again (or run: newgrp " + facts.group +
           ")";
  }
  return denied + ", which belongs to group " + facts.group +
         "; join the group with: sudo usermod -aG " + facts.group + " " + facts.user +
         " (then log out and in again)";
}

#ifdef _WIN32
std::string PortAccessHint(const std::string&) {
  return {};
}
#else
namespace {

// A character device of the tty class: a serial port, a terminal, a modem.
bool IsTtyDevice(const struct stat& info) {
  if (!S_ISCHR(info.st_mode)) return false;
  char link[64];
  std::snprintf(link, sizeof(link), "/sys/dev/char/%u:%u/subsystem", major(info.st_rdev),
                minor(info.st_rdev));
  char target[PATH_MAX];
  const ssize_t n = ::readlink(link, target, sizeof(target) - 1);
  if (n <= 0) return false;
  const std::string_view path(target, static_cast<std::size_t>(n));
  return path.size() >= 4 && path.substr(path.size() - 4) == "/tty";
}

}  // namespace

std::string PortAccessHint(const std::string& device) {
  struct stat info {};
  if (::stat(device.c_str(), &info) != 0) return {};
  if (::access(device.c_str(), R_OK | W_OK) == 0 || errno != EACCES) return {};
  PortAccessFacts facts;
  facts.serialPort = IsTtyDevice(info);
  facts.mode = static_cast<unsigned>(info.st_mode & 07777);
  if (const passwd* owner = ::getpwuid(info.st_uid)) facts.owner = owner->pw_name;
  const group* owner = ::getgrgid(info.st_gid);
  if (owner && info.st_gid != 0) facts.group = owner->gr_name;
  constexpr mode_t kGroupReadWrite = S_IRGRP | S_IWGRP;
  facts.groupMayReadWrite = (info.st_mode & kGroupReadWrite) == kGroupReadWrite;
  std::vector<gid_t> ours(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
  ours.resize(static_cast<std::size_t>(
      std::max(::getgroups(static_cast<int>(ours.size()), ours.data()), 0)));
  ours.push_back(::getegid());
  facts.processInGroup = std::find(ours.begin(), ours.end(), info.st_gid) != ours.end();
  const passwd* user = ::getpwuid(::geteuid());
  facts.user = user ? user->pw_name : "$USER";
  // A member of the group whose session started before joining it lacks it until the
  // next login.
  if (user) {
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
      groups.resize(static_cast<std::size_t>(count));
      ::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count);
    }
    groups.resize(static_cast<std::size_t>(std::max(count, 0)));
    facts.userInGroup = std::find(groups.begin(), groups.end(), info.st_gid) != groups.end();
  }
  return PortAccessHintFor(device, facts);
}
#endif

}  // namespace otp
