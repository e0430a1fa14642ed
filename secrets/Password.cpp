#include "secrets/Password.h"

#include <crypt.h>
#include <sodium.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace otp::secrets {

namespace {

bool Ready() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

bool IsBcrypt(const std::string& hash) {
  return hash.size() == 60 &&
         (hash.rfind("$2b$", 0) == 0 || hash.rfind("$2a$", 0) == 0 || hash.rfind("$2y$", 0) == 0);
}

}  // namespace

std::string HashPassword(const std::string& password) {
  if (!Ready()) return {};
  char hash[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str_alg(hash, password.data(), password.size(),
                            crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE,
                            crypto_pwhash_ALG_ARGON2ID13) != 0) {
    return {};
  }
  return hash;
}

bool KnownHash(const std::string& hash) {
  return hash.rfind("$argon2id$", 0) == 0 || IsBcrypt(hash);
}

bool VerifyPassword(const std::string& hash, const std::string& password) {
  if (hash.rfind("$argon2id$", 0) == 0) {
    if (!Ready() || hash.size() >= crypto_pwhash_STRBYTES) return false;
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
  }
  if (IsBcrypt(hash)) {
    auto data = std::make_unique<crypt_data>();
    std::memset(data.get(), 0, sizeof(crypt_data));
    const char* made = crypt_r(password.c_str(), hash.c_str(), data.get());
    if (!made || made[0] == '*') return false;
    return std::strlen(made) == hash.size() && sodium_memcmp(made, hash.c_str(), hash.size()) == 0;
  }
  return false;
}

bool ReadPassword(const std::string& prompt, std::string& password) {
  if (!::isatty(0)) return false;
  termios before{};
  if (::tcgetattr(0, &before) != 0) return false;
  termios quiet = before;
  quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
  std::fprintf(stderr, "%s", prompt.c_str());
  std::fflush(stderr);
  ::tcsetattr(0, TCSAFLUSH, &quiet);
  password.clear();
  char c = 0;
  bool read = false;
  while (::read(0, &c, 1) == 1) {
    read = true;
    if (c == '\n' || c == '\r') break;
    password += c;
  }
  ::tcsetattr(0, TCSAFLUSH, &before);
  std::fprintf(stderr, "\n");
  return read;
}

}  // namespace otp::secrets
