// Journal files on Windows: a byte-range lock far past the end, FlushFileBuffers for
// each line.

#include <windows.h>

#include <string>

#include "ops/journal/File.h"

namespace otp {

namespace {

std::string SystemWords(DWORD code) {
  char text[256] = {};
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, text, sizeof(text), nullptr);
  std::string words(text, n);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == '.'))
    words.pop_back();
  return words.empty() ? "error " + std::to_string(code) : words;
}

class Win32File final : public JournalFile {
 public:
  explicit Win32File(HANDLE file) : file_(file) {}
  ~Win32File() override { ::CloseHandle(file_); }

  bool TryLock() override {
    // Locks on Windows keep other handles from the bytes they cover: the lock lies far
    // beyond the end of the file, where nobody reads.
    OVERLAPPED at{};
    at.Offset = 0xFFFFFFF0u;
    at.OffsetHigh = 0x7FFFFFFFu;
    return ::LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) !=
           0;
  }
  bool Append(std::string_view text, std::string& error) override {
    // Always at the end, whatever was read before.
    OVERLAPPED at{};
    at.Offset = 0xFFFFFFFFu;
    at.OffsetHigh = 0xFFFFFFFFu;
    DWORD written = 0;
    if (!::WriteFile(file_, text.data(), static_cast<DWORD>(text.size()), &written, &at) ||
        written != text.size()) {
      error = SystemWords(::GetLastError());
      return false;
    }
    if (!::FlushFileBuffers(file_)) {
      error = SystemWords(::GetLastError());
      return false;
    }
    return true;
  }
  bool Truncate() override {
    LARGE_INTEGER zero{};
    return ::SetFilePointerEx(file_, zero, nullptr, FILE_BEGIN) && ::SetEndOfFile(file_);
  }
  bool Regular(std::uintmax_t& size) override {
    if (::GetFileType(file_) != FILE_TYPE_DISK) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file_, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
      return false;
    }
    size = (static_cast<std::uintmax_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return true;
  }
  long long ReadAt(char* buffer, std::size_t count, std::uintmax_t offset) override {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    if (!::ReadFile(file_, buffer, static_cast<DWORD>(count), &read, &at)) {
      return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    }
    return read;
  }

 private:
  HANDLE file_;
};

class Win32Disk final : public JournalDisk {
 public:
  std::unique_ptr<JournalFile> Open(const std::filesystem::path& path, Mode mode,
                                    std::string& error) override {
    // Shared for deleting too: a journal is made under a name no start reads and renamed
    // while it is open and locked, and removed by its owner while it is open.
    const DWORD access = mode == Mode::kRead     ? GENERIC_READ
                         : mode == Mode::kAppend ? GENERIC_WRITE
                                                 : GENERIC_READ | GENERIC_WRITE;
    const DWORD disposition = mode == Mode::kCreate   ? CREATE_NEW
                              : mode == Mode::kAppend ? OPEN_ALWAYS
                                                      : OPEN_EXISTING;
    const HANDLE file = ::CreateFileW(
        path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      error = SystemWords(::GetLastError());
      return nullptr;
    }
    return std::make_unique<Win32File>(file);
  }
  int ProcessId() override { return static_cast<int>(::GetCurrentProcessId()); }
};

}  // namespace

JournalDisk& SystemJournalDisk() {
  static Win32Disk disk;
  return disk;
}

}  // namespace otp
