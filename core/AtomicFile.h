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

/// Why `path` could not be written by WriteFileAtomically (it is a folder, its folder is
/// missing or closed to this user); empty when it can. Checked before work whose result
/// goes there, so that nothing is done for a file that cannot be written.
std::string WritableFolderError(const std::filesystem::path& path);

}  // namespace otp
