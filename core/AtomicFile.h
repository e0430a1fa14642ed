#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace otp {

/// Replaces `path` with `contents` atomically: a temporary file beside it, flushed to
/// disk, then renamed over it, so that a crash or a failure leaves either the old file or
/// the new one, never a part. A symbolic link is written through and stays a link.
/// Returns false, with the reason in `error` when given, after a failure.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view contents,
                         std::string* error = nullptr);

}  // namespace otp
