#include "link/PortAccess.h"

#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>
#endif

namespace otp {

#ifdef _WIN32
std::string PortAccessHint(const std::string&) {
  return {};
}
#else
std::string PortAccessHint(const std::string& device) {
  struct stat info {};
  if (::stat(device.c_str(), &info) != 0) return {};
  if (::access(device.c_str(), R_OK | W_OK) == 0 || errno != EACCES) return {};
  const std::string denied = "permission denied on " + device;
  const group* owner = ::getgrgid(info.st_gid);
  constexpr mode_t kGroupReadWrite = S_IRGRP | S_IWGRP;
  // Joining the group helps only when the group may read and write, and when this
  // process is not in it already.
  std::vector<gid_t> ours(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
  ours.resize(static_cast<std::size_t>(
      std::max(::getgroups(static_cast<int>(ours.size()), ours.data()), 0)));
  ours.push_back(::getegid());
  if (!owner || info.st_gid == 0 || (info.st_mode & kGroupReadWrite) != kGroupReadWrite ||
      std::find(ours.begin(), ours.end(), info.st_gid) != ours.end()) {
    char mode[8];
    std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return denied + " (mode " + mode + ")";
  }
  const std::string group = owner->gr_name;
  const passwd* user = ::getpwuid(::geteuid());
  const std::string name = user ? user->pw_name : "$USER";
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
    for (const gid_t gid : groups) {
      if (gid == info.st_gid) {
        return denied + ": " + name + " is in group " + group +
               ", but this session is not yet; log out and in again (or run: newgrp " + group + ")";
      }
    }
  }
  return denied + ", which belongs to group " + group + "; join the group with: sudo usermod -aG " +
         group + " " + name + " (then log out and in again)";
}
#endif

}  // namespace otp
