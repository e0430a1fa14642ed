#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace otp {

/// An open journal file: appended to line by line, each line on the disk before the call
/// returns, read back by offset, locked while its process lives. Closing it releases the
/// lock.
class JournalFile {
 public:
  virtual ~JournalFile() = default;
  /// Takes the file's lock without waiting: false when another process holds it.
  virtual bool TryLock() = 0;
  /// Appends `text` and waits until it is on the disk; false, with `error` (the
  /// system's words), when it is not.
  virtual bool Append(std::string_view text, std::string& error) = 0;
  /// Empties the file.
  virtual bool Truncate() = 0;
  /// Whether it is a regular file, and its size.
  virtual bool Regular(std::uintmax_t& size) = 0;
  /// Reads up to `count` bytes at `offset`: how many, -1 on failure.
  virtual long long ReadAt(char* buffer, std::size_t count, std::uintmax_t offset) = 0;
};

/// Where journal files are opened: the platform's files (one back end a platform), or a
/// test's stand-in.
class JournalDisk {
 public:
  enum class Mode {
    kCreate,  // a new file, for reading and appending; fails when it exists
    kOpen,    // an existing file, for reading and appending
    kRead,    // an existing file, only read: never a link, never a wait on a FIFO
    kAppend,  // appended to, made when missing
  };
  virtual ~JournalDisk() = default;
  /// Null, with `error` (the system's words), when it cannot be opened.
  virtual std::unique_ptr<JournalFile> Open(const std::filesystem::path& path, Mode mode,
                                            std::string& error) = 0;
  /// This process's id, for the names of its journals.
  virtual int ProcessId() = 0;
};

/// The files of the platform the program runs on.
JournalDisk& SystemJournalDisk();

}  // namespace otp
