#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "core/Catalogue.h"
#include "ops/Factory.h"

namespace otp::web {

/// What the factory view serves and where.
struct ServeOptions {
  std::string store;               // the store's location
  std::string host = "127.0.0.1";  // the address it listens on: loopback unless told
  int port = 8047;                 // 0: a free port of the system's choosing
  AlarmLimits limits;
  /// How often the stations' state is read from the store, whatever the number of pages
  /// that follow it: they all get the same snapshot.
  std::chrono::milliseconds refresh{500};
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

  /// Opens the store and listens; false, with `error`, when either cannot be done (the
  /// store is opened again as long as the server runs, should it go away later).
  bool Start(std::string& error);
  /// The port it listens on, once started.
  int port() const;
  /// Waits until Stop is called (from another thread or a signal's handler thread).
  void Wait();
  /// Stops listening and reading the store.
  void Stop();

  /// The stations' JSON as /api/stations gives it.
  std::string Stations() const;

 private:
  struct Core;
  std::unique_ptr<Core> core_;
};

/// The language a browser asks for in its Accept-Language header (Japanese when it
/// prefers it to English), or as `lang` names it.
Language LanguageOf(const std::string& acceptLanguage, const std::string& lang);

/// The page of the factory view in `language`, its script and its style.
std::string FactoryPage(Language language, const std::string& store);
const char* FactoryScript();
const char* FactoryStyle();

/// `live` as a station published it; nothing when it is not such JSON.
std::optional<StationLive> ParseLive(const std::string& live);

}  // namespace otp::web
