// users: who may read the factory view, in a file of names and password hashes.

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <iostream>

#include "cli/Commands.h"
#include "cli/Context.h"
#include "core/AtomicFile.h"
#include "core/Utf8Path.h"
#include "secrets/Password.h"

namespace otp::cli {

int RunUsers(Context& context) {
  const std::string& file = context.options.arguments[1];
  const std::string& name = context.options.arguments[2];
  if (name.empty() || name.find_first_of(":\r\n") != std::string::npos) {
    return context.Fail(kExitUsage,
                        context.T("users add: %1 is no user's name", {Printable(name)}));
  }
  // Asked twice on a terminal; a script gives it once on standard input.
  std::string password;
  if (::isatty(0)) {
    std::string again;
    if (!secrets::ReadPassword(context.T("password for %1: ", {name}), password) ||
        !secrets::ReadPassword(context.T("the same again: "), again)) {
      return context.Fail(kExitFile, context.T("users add: the password could not be read"));
    }
    if (password != again) {
      return context.Fail(kExitUsage, context.T("users add: the two passwords differ"));
    }
  } else if (!std::getline(std::cin, password)) {
    return context.Fail(kExitFile, context.T("users add: no password on standard input"));
  }
  if (password.size() < 8) {
    return context.Fail(kExitUsage, context.T("users add: a password of 8 characters at least"));
  }
  const std::string hash = secrets::HashPassword(password);
  if (hash.empty()) return context.Fail(kExitFile, context.T("users add: the hash failed"));
  // The other users stay as they are; this one's line is replaced.
  std::string kept;
  bool replaced = false;
  const std::filesystem::path path = PathFromUtf8(file);
  std::ifstream old(path, std::ios::binary);
  if (old) {
    std::string line;
    while (std::getline(old, line)) {
      if (line.rfind(name + ":", 0) == 0) {
        replaced = true;
        continue;
      }
      kept += line + "\n";
    }
  } else {
    // A new file is its owner's alone; replacing it keeps that.
    const int made = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (made >= 0) ::close(made);
  }
  std::string error;
  if (!WriteFileAtomically(path, kept + name + ":" + hash + "\n", &error)) {
    return context.Fail(kExitFile, context.T("cannot write %1: %2", {file, error}));
  }
  context.console.Emit(Json("user").Add("file", file).Add("name", name).Add("replaced", replaced));
  context.console.Say(replaced ? context.T("%1 has a new password in %2", {name, file})
                               : context.T("%1 may read the factory view of %2", {name, file}));
  return kExitOk;
}

}  // namespace otp::cli
