#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace otp::web {

/// A request as a route sees it: GET or HEAD of a path that named the route.
struct HttpRequest {
  std::string method;
  std::string path;                               // decoded
  std::multimap<std::string, std::string> query;  // decoded
  std::map<std::string, std::string> headers;     // names in lower case
  std::string peer;                               // the client's address
  std::string user;                               // who signed in, when users are asked for

  /// The first value of query parameter `name`, or empty.
  std::string Param(const std::string& name) const;
  /// Header `name` (any case), or empty.
  std::string Header(const std::string& name) const;
};

struct HttpResponse {
  int status = 200;
  std::string type;  // Content-Type
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

using HttpHandler = std::function<void(const HttpRequest&, HttpResponse&)>;

/// A path the server answers, and the function that answers it. A slow route (one that
/// asks the store or paints a page) runs on a worker of its own, never on a thread that
/// reads requests, so that a slow answer holds up no other client.
struct HttpRoute {
  std::string path;
  HttpHandler handler;
  bool slow = false;
};

/// What one client may cost the server.
struct HttpLimits {
  /// The request line and headers together; beyond it 431 (414 for a line that long).
  std::size_t header = 16 * 1024;
  /// The longest target, path and query.
  std::size_t target = 8 * 1024;
  /// The time a request may take to arrive, from the moment the server waits for it (a
  /// new connection, or the end of the answer before) to its last byte; a client that
  /// trickles it, or keeps a connection idle longer, is cut off.
  std::chrono::milliseconds request{10000};
  /// Open connections at once from one address, and in all.
  int perAddress = 32;
  int total = 4000;
  /// Slow routes waiting for a worker: beyond them, 503 at once.
  std::size_t queued = 32;
  std::size_t workers = 2;
  /// Failed sign-ins an address may make a minute before it is told to wait (429).
  int failures = 10;
};

/// Signs a user in: whether `password` is `user`'s. Slow on purpose (a password hash);
/// the server runs it on a worker and remembers a success for a while.
using HttpAuthenticator = std::function<bool(const std::string& user, const std::string& password)>;

struct HttpOptions {
  std::string host;  // the address to listen on
  int port = 0;      // 0: one the system chooses
  /// The names and addresses a request's Host header may hold (lower case, without a
  /// port; the port, when given, must be the server's). Any other gets 421 and nothing
  /// else: a page of another site that a browser here opens cannot read this one.
  std::set<std::string> hosts;
  /// PEM files: with both, the server speaks only TLS.
  std::string certificate;
  std::string key;
  /// Null: anyone may read. Otherwise HTTP Basic, over TLS only.
  HttpAuthenticator authenticate;
  std::string realm = "factory view";
  /// Headers every answer carries.
  std::vector<std::pair<std::string, std::string>> headers;
  HttpLimits limits;
};

/// A small HTTP/1.1 server for read-only pages: GET and HEAD on exact paths (405 with
/// Allow for any other method, 404 for any other path, 400 for a target that is no path),
/// every request bounded in size and in time, a few connections an address, slow answers
/// on workers. Its threads read many clients each, asynchronously: a client that sends a
/// byte a second costs it a socket and a timer, never a thread.
class HttpServer {
 public:
  HttpServer(std::vector<HttpRoute> routes, HttpOptions options);
  /// Stop().
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  /// Loads the certificate, binds and listens; false, with `error`, when any fails.
  bool Start(std::string& error);
  /// The port it listens on, once started.
  int port() const;
  /// Stops listening, closes every connection and waits for its threads.
  void Stop();

  struct Core;  // the server's state, shared with its connections (web/HttpServer.cpp)

 private:
  std::shared_ptr<Core> core_;
};

/// `text` with %XX decoded; false for a broken escape or an escaped NUL.
bool PercentDecode(std::string_view text, std::string& out, bool plusIsBlank);

}  // namespace otp::web
