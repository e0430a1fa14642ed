#pragma once

#include <string>

namespace otp::secrets {

/// `password` hashed with Argon2id (libsodium's limits for sign-ins: about a tenth of a
/// second and 64 MiB a try), as a self-describing string "$argon2id$v=19$m=...". Empty
/// when the hash could not be made (no memory).
std::string HashPassword(const std::string& password);

/// Whether `password` is the one `hash` was made of: an Argon2id hash as HashPassword
/// makes it, or a bcrypt one ("$2b$", "$2a$", "$2y$") as other tools make them. Anything
/// else is no hash and matches nothing. It takes its time on purpose.
bool VerifyPassword(const std::string& hash, const std::string& password);

/// Whether `hash` is a hash VerifyPassword knows.
bool KnownHash(const std::string& hash);

/// Reads a password from the terminal without showing it: `prompt` on standard error.
/// False when standard input is no terminal or the reading failed.
bool ReadPassword(const std::string& prompt, std::string& password);

}  // namespace otp::secrets
