// Journal files on POSIX systems: flock for the lock, fdatasync for each line.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/Utf8Path.h"
#include "ops/journal/File.h"

namespace otp {

namespace {

class PosixFile final : public JournalFile {
 public:
  explicit PosixFile(int handle) : handle_(handle) {}
  ~PosixFile() override { ::close(handle_); }

  bool TryLock() override { return ::flock(handle_, LOCK_EX | LOCK_NB) == 0; }
  bool Append(std::string_view text, std::string& error) override {
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(handle_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = std::strerror(n < 0 ? errno : ENOSPC);
        return false;
      }
      done += static_cast<std::size_t>(n);
    }
    if (::fdatasync(handle_) != 0) {
      error = std::strerror(errno);
      return false;
    }
    return true;
  }
  bool Truncate() override { return ::ftruncate(handle_, 0) == 0; }
  bool Regular(std::uintmax_t& size) override {
    struct stat info {};
    if (::fstat(handle_, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    size = static_cast<std::uintmax_t>(info.st_size);
    return true;
  }
  long long ReadAt(char* buffer, std::size_t count, std::uintmax_t offset) override {
    while (true) {
      const ssize_t n = ::pread(handle_, buffer, count, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      return n;
    }
  }

 private:
  int handle_;
};

class PosixDisk final : public JournalDisk {
 public:
  std::unique_ptr<JournalFile> Open(const std::filesystem::path& path, Mode mode,
                                    std::string& error) override {
    // Never a link; never a wait (a FIFO opened without O_NONBLOCK waits for a writer).
    int flags = O_CLOEXEC | O_NOFOLLOW;
    switch (mode) {
      case Mode::kCreate:
        flags |= O_CREAT | O_EXCL | O_RDWR | O_APPEND | O_NONBLOCK;
        break;
      case Mode::kOpen:
        flags |= O_RDWR | O_APPEND | O_NONBLOCK;
        break;
      case Mode::kRead:
        flags |= O_RDONLY | O_NONBLOCK;
        break;
      case Mode::kAppend:
        flags |= O_CREAT | O_WRONLY | O_APPEND;
        break;
    }
    const int handle = ::open(path.c_str(), flags, 0600);
    if (handle < 0) {
      error = std::strerror(errno);
      return nullptr;
    }
    return std::make_unique<PosixFile>(handle);
  }
  int ProcessId() override { return static_cast<int>(::getpid()); }
};

}  // namespace

JournalDisk& SystemJournalDisk() {
  static PosixDisk disk;
  return disk;
}

}  // namespace otp
