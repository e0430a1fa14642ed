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

AtomicFile::AtomicFile(const std::filesystem::path& path) {
  std::error_code ec;
  target_ = path;
  // A link the user made is written through and stays a link.
  if (std::filesystem::is_symlink(target_, ec)) {
    const auto resolved = std::filesystem::weakly_canonical(target_, ec);
    if (!ec) target_ = resolved;
  }
  if (std::filesystem::is_directory(target_, ec)) {
    error_ = Reason(EISDIR);
    return;
  }
#ifdef _WIN32
  mode_ = _S_IREAD | _S_IWRITE;
  struct _stat64 old {};
  if (::_wstat64(target_.c_str(), &old) == 0 && !(old.st_mode & _S_IWRITE)) mode_ = _S_IREAD;
  for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
    temp_ = TemporaryBeside(target_);
    fd_ = ::_wopen(temp_.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd_ < 0 && errno != EEXIST) break;
  }
#else
  // The replaced file's permissions stay; a new file gets what the user's umask allows.
  struct stat old {};
  if (::stat(target_.c_str(), &old) == 0) {
    mode_ = old.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode_ = 0666 & ~mask;
  }
  // Created exclusively under a name nobody else uses: a link planted under a temporary
  // name is never followed, and nobody's file is taken over.
  for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
    temp_ = TemporaryBeside(target_);
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0 && errno != EEXIST) break;
  }
#endif
  if (fd_ < 0) error_ = Reason(errno);
}

AtomicFile::~AtomicFile() {
  Abandon(0);
}

bool AtomicFile::Abandon(int why) {
  if (why != 0 && error_.empty()) error_ = Reason(why);
  if (fd_ >= 0) {
#ifdef _WIN32
    ::_close(fd_);
#else
    ::close(fd_);
#endif
    fd_ = -1;
    std::error_code ec;
    std::filesystem::remove(temp_, ec);
  }
  return false;
}

bool AtomicFile::Write(std::string_view contents) {
  if (fd_ < 0) return false;
  std::size_t done = 0;
  while (done < contents.size()) {
#ifdef _WIN32
    const unsigned chunk =
        static_cast<unsigned>(std::min<std::size_t>(contents.size() - done, 1 << 20));
    const int n = ::_write(fd_, contents.data() + done, chunk);
    if (n <= 0) return Abandon(errno ? errno : ENOSPC);
#else
    const ssize_t n = ::write(fd_, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Abandon(n < 0 ? errno : ENOSPC);
#endif
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool AtomicFile::Commit() {
  if (fd_ < 0) return false;
#ifdef _WIN32
  // The new contents must be on disk before the rename makes them the file.
  if (::_commit(fd_) != 0) return Abandon(errno);
  ::_close(fd_);
  fd_ = -1;
  ::_wchmod(temp_.c_str(), mode_);
  // Replaces the old file in one step, and only returns once the change is on disk.
  if (!MoveFileExW(temp_.c_str(), target_.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error_ = std::system_category().message(static_cast<int>(GetLastError()));
    std::error_code ec;
    std::filesystem::remove(temp_, ec);
    return false;
  }
  return true;
#else
  if (::fchmod(fd_, static_cast<mode_t>(mode_)) != 0) return Abandon(errno);
  // The new contents must be on disk before the rename makes them the file.
  if (::fsync(fd_) != 0) return Abandon(errno);
  const int closed = ::close(fd_);
  fd_ = -1;
  if (closed != 0 || ::rename(temp_.c_str(), target_.c_str()) != 0) {
    error_ = Reason(errno);
    ::unlink(temp_.c_str());
    return false;
  }
  // The rename itself is on disk only once the folder is.
  std::filesystem::path folder = target_.parent_path();
  if (folder.empty()) folder = ".";
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
#endif
}

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view contents,
                         std::string* error) {
  AtomicFile file(path);
  const bool written = file.Write(contents) && file.Commit();
  if (!written && error) *error = file.error();
  return written;
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
