#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/Catalogue.h"
#include "ops/Factory.h"
#include "web/HttpServer.h"

namespace otp::web {

/// What the factory view serves, where, and to whom.
struct ServeOptions {
  std::string store;               // the store's location
  std::string host = "127.0.0.1";  // the address it listens on: loopback unless told
  int port = 8047;                 // 0: a free port of the system's choosing
  AlarmLimits limits;
  /// How often the stations' state is read from the store, whatever the number of pages
  /// that follow it: they all get the same snapshot.
  std::chrono::milliseconds refresh{500};
  /// Names a request's Host may hold besides the server's own (a name in the site's DNS).
  std::vector<std::string> allowHosts;
  /// A file of the users who may read it ("NAME:HASH" lines, Argon2id or bcrypt); with
  /// it, every request signs in with HTTP Basic, over TLS only.
  std::string users;
  /// PEM files: the view speaks HTTPS.
  std::string certificate;
  std::string key;
  /// Beyond the loopback without users: everyone who reaches the address may read it, and
  /// the operator said so.
  bool insecureOpen = false;
  HttpLimits http;
};

/// Who may read the view, as its start line says.
enum class Audience {
  kThisComputer,  // it listens on a loopback address
  kUsers,         // the users of its file, signed in over TLS
  kAnyone,        // anyone who reaches its address (--insecure-open)
};

/// The factory view: a web application on the production store, read-only. Its pages
/// (the stations, their ports, the alarms, the batch report of any filter, in English
/// and Japanese by the browser's language) and its JSON (/api/stations, /api/report)
/// change nothing: every request is a read, a role that may only SELECT is enough.
class FactoryServer {
 public:
  explicit FactoryServer(ServeOptions options);
  /// Stop().
  ~FactoryServer();
  FactoryServer(const FactoryServer&) = delete;
  FactoryServer& operator=(const FactoryServer&) = delete;

  /// Checks who may read it (beyond the loopback it needs users over TLS, or
  /// --insecure-open), opens the store and listens; false, with `error`, when any of it
  /// cannot be done (the store is opened again as long as the server runs, should it go
  /// away later).
  bool Start(std::string& error);
  /// The port it listens on, once started.
  int port() const;
  Audience audience() const;
  std::size_t users() const;
  bool tls() const;
  /// Stops listening and reading the store.
  void Stop();

  /// The stations' JSON as /api/stations gives it.
  std::string Stations() const;

 private:
  struct Core;
  std::unique_ptr<Core> core_;
};

/// Whether `address` (a literal) is a loopback one: 127.0.0.0/8 or ::1.
bool IsLoopback(const std::string& address);

/// The names and addresses a request's Host may hold for a server listening on `address`:
/// it, this computer's name, every address of this computer for a wildcard, localhost
/// and the loopback addresses for a loopback one or a wildcard, and `allowed` (lower case).
std::set<std::string> HostNames(const std::string& address,
                                const std::vector<std::string>& allowed);

/// Reads a file of users ("NAME:HASH" a line; blank lines and # comments): false, with
/// `error` naming the line, for a file that cannot be read or a line that is no user.
bool ReadUsers(const std::string& file, std::map<std::string, std::string>& users,
               std::string& error);

/// The language a browser asks for in its Accept-Language header (Japanese when it
/// prefers it to English), or as `lang` names it.
Language LanguageOf(const std::string& acceptLanguage, const std::string& lang);

/// The page of the factory view in `language`, its script and its style.
std::string FactoryPage(Language language, const std::string& store);
const char* FactoryScript();
const char* FactoryStyle();

}  // namespace otp::web
