#include "core/AtomicFile.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace otp {

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view contents,
                         std::string* error) {
  auto fail = [error](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  std::error_code ec;
  std::filesystem::path target = path;
  if (std::filesystem::is_symlink(target, ec)) {
    const auto resolved = std::filesystem::canonical(target, ec);
    if (!ec) target = resolved;
  }
  std::filesystem::path temp = target;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return fail(std::strerror(errno));
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    out.flush();
    if (!out) {
      const std::string why = std::strerror(errno);
      out.close();
      std::filesystem::remove(temp, ec);
      return fail(why);
    }
  }
  // The new contents must be on disk before the rename makes them the file.
#ifdef _WIN32
  const int fd = ::_wopen(temp.c_str(), _O_RDWR | _O_BINARY);
  if (fd >= 0) {
    ::_commit(fd);
    ::_close(fd);
  }
  // Replaces the old file in one step, and only returns once the change is on disk.
  if (!MoveFileExW(temp.c_str(), target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const std::string why = std::system_category().message(static_cast<int>(GetLastError()));
    std::filesystem::remove(temp, ec);
    return fail(why);
  }
#else
  const int fd = ::open(temp.c_str(), O_RDONLY);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
  std::filesystem::rename(temp, target, ec);
  if (ec) {
    const std::string why = ec.message();
    std::filesystem::remove(temp, ec);
    return fail(why);
  }
#endif
  return true;
}

}  // namespace otp
