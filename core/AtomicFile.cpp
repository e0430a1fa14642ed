#include "core/AtomicFile.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace otp {

namespace {

// A name that no other writer picks: the target's name, the process and a random part.
std::filesystem::path TemporaryBeside(const std::filesystem::path& target) {
  static thread_local std::mt19937_64 random(
      std::random_device{}() ^
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  char suffix[40];
#ifdef _WIN32
  const unsigned long process = GetCurrentProcessId();
#else
  const unsigned long process = static_cast<unsigned long>(::getpid());
#endif
  std::snprintf(suffix, sizeof(suffix), ".%lu.%016llx.tmp", process,
                static_cast<unsigned long long>(random()));
  std::filesystem::path temp = target;
  temp += suffix;
  return temp;
}

std::string Reason(int error) {
  return std::generic_category().message(error);
}

}  // namespace

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view contents,
                         std::string* error) {
  auto fail = [error](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  std::error_code ec;
  std::filesystem::path target = path;
  // A link the user made is written through and stays a link.
  if (std::filesystem::is_symlink(target, ec)) {
    const auto resolved = std::filesystem::weakly_canonical(target, ec);
    if (!ec) target = resolved;
  }
  if (std::filesystem::is_directory(target, ec)) return fail(Reason(EISDIR));

#ifdef _WIN32
  int mode = _S_IREAD | _S_IWRITE;
  struct _stat64 old {};
  const bool replacing = ::_wstat64(target.c_str(), &old) == 0;
  if (replacing && !(old.st_mode & _S_IWRITE)) mode = _S_IREAD;
  std::filesystem::path temp;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temp = TemporaryBeside(target);
    fd = ::_wopen(temp.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return fail(Reason(errno));
  std::size_t done = 0;
  while (done < contents.size()) {
    const unsigned chunk =
        static_cast<unsigned>(std::min<std::size_t>(contents.size() - done, 1 << 20));
    const int n = ::_write(fd, contents.data() + done, chunk);
    if (n <= 0) {
      const std::string why = Reason(errno);
      ::_close(fd);
      std::filesystem::remove(temp, ec);
      return fail(why);
    }
    done += static_cast<std::size_t>(n);
  }
  // The new contents must be on disk before the rename makes them the file.
  if (::_commit(fd) != 0) {
    const std::string why = Reason(errno);
    ::_close(fd);
    std::filesystem::remove(temp, ec);
    return fail(why);
  }
  ::_close(fd);
  ::_wchmod(temp.c_str(), mode);
  // Replaces the old file in one step, and only returns once the change is on disk.
  if (!MoveFileExW(temp.c_str(), target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const std::string why = std::system_category().message(static_cast<int>(GetLastError()));
    std::filesystem::remove(temp, ec);
    return fail(why);
  }
  return true;
#else
  // The replaced file's permissions stay; a new file gets what the user's umask allows.
  struct stat old {};
  mode_t mode = 0;
  if (::stat(target.c_str(), &old) == 0) {
    mode = old.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  // Created exclusively under a name nobody else uses: a link planted under a temporary
  // name is never followed, and nobody's file is taken over.
  std::filesystem::path temp;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temp = TemporaryBeside(target);
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return fail(Reason(errno));
  auto abandon = [&](int why) {
    ::close(fd);
    ::unlink(temp.c_str());
    return fail(Reason(why));
  };
  std::size_t done = 0;
  while (done < contents.size()) {
    const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return abandon(n < 0 ? errno : ENOSPC);
    done += static_cast<std::size_t>(n);
  }
  if (::fchmod(fd, mode) != 0) return abandon(errno);
  // The new contents must be on disk before the rename makes them the file.
  if (::fsync(fd) != 0) return abandon(errno);
  if (::close(fd) != 0) {
    const int why = errno;
    ::unlink(temp.c_str());
    return fail(Reason(why));
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const int why = errno;
    ::unlink(temp.c_str());
    return fail(Reason(why));
  }
  // The rename itself is on disk only once the folder is.
  std::filesystem::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
#endif
}

std::string WritableFolderError(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::path target = path;
  if (std::filesystem::is_symlink(target, ec)) {
    const auto resolved = std::filesystem::weakly_canonical(target, ec);
    if (!ec) target = resolved;
  }
  if (std::filesystem::is_directory(target, ec)) return Reason(EISDIR);
  std::filesystem::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  if (!std::filesystem::is_directory(folder, ec)) return Reason(ENOENT);
  // The one sure test is to make the temporary file that a write would make.
  const std::filesystem::path probe = TemporaryBeside(target);
#ifdef _WIN32
  const int fd = ::_wopen(probe.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return Reason(errno);
  ::_close(fd);
#else
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return Reason(errno);
  ::close(fd);
#endif
  std::filesystem::remove(probe, ec);
  return {};
}

}  // namespace otp
