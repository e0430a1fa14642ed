#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace otp {

/// Replaces `path` with `contents` atomically: a temporary file beside it, created
/// exclusively under a name of its own (a link planted beside the target is never
/// followed, nobody's file is taken over), flushed to disk, given the replaced file's
/// permissions, then renamed over it, and the folder flushed. A crash or a failure leaves
/// either the old file or the new one, never a part. A symbolic link at `path` is written
/// through and stays a link. Returns false, with the reason in `error` when given.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view contents,
                         std::string* error = nullptr);

/// The same, written piece by piece: a file of any size in bounded memory. Nothing
/// replaces `path` until Commit; a file destroyed before it leaves `path` as it was.
class AtomicFile {
 public:
  explicit AtomicFile(const std::filesystem::path& path);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  /// Appends `contents`; false (and nothing more is written) when that fails.
  bool Write(std::string_view contents);
  /// Puts what was written in the place of `path`; false when that fails.
  bool Commit();
  /// Why the last step failed.
  const std::string& error() const { return error_; }

 private:
  bool Abandon(int why);
  std::filesystem::path target_;
  std::filesystem::path temp_;
  int fd_ = -1;
  unsigned mode_ = 0;
  std::string error_;
};

/// Why `path` could not be written by WriteFileAtomically (it is a folder, its folder is
/// missing or closed to this user); empty when it can. Checked before work whose result
/// goes there, so that nothing is done for a file that cannot be written.
std::string WritableFolderError(const std::filesystem::path& path);

}  // namespace otp
