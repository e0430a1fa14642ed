// The HTTP server of the factory view, on Boost.Beast: asynchronous reads on a few
// threads, a deadline on every request, a few connections an address, TLS when asked.

#include "web/HttpServer.h"

#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <mutex>
#include <optional>
#include <thread>

#include "core/Sha256.h"

namespace otp::web {

namespace beast = boost::beast;
namespace http = beast::http;
namespace asio = boost::asio;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Base64 as HTTP Basic writes it; nothing for anything else.
std::optional<std::string> FromBase64(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  unsigned bits = 0;
  int count = 0;
  std::size_t i = 0;
  for (; i < text.size() && text[i] != '='; ++i) {
    const int v = value(text[i]);
    if (v < 0) return std::nullopt;
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  for (; i < text.size(); ++i) {
    if (text[i] != '=') return std::nullopt;
  }
  return out;
}

std::string ReasonOf(int status) {
  return std::string(http::obsolete_reason(static_cast<http::status>(status)));
}

}  // namespace

bool PercentDecode(std::string_view text, std::string& out, bool plusIsBlank) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+' && plusIsBlank) {
      out += ' ';
    } else if (c != '%') {
      out += c;
    } else {
      if (i + 2 >= text.size()) return false;
      const int high = HexValue(text[i + 1]);
      const int low = HexValue(text[i + 2]);
      if (high < 0 || low < 0 || (high == 0 && low == 0)) return false;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    }
  }
  return true;
}

std::string HttpRequest::Param(const std::string& name) const {
  const auto it = query.find(name);
  return it == query.end() ? std::string() : it->second;
}

std::string HttpRequest::Header(const std::string& name) const {
  const auto it = headers.find(Lower(name));
  return it == headers.end() ? std::string() : it->second;
}

struct HttpServer::Core : std::enable_shared_from_this<Core> {
  std::vector<HttpRoute> routes;
  HttpOptions options;
  std::unique_ptr<asio::io_context> io = std::make_unique<asio::io_context>();
  std::unique_ptr<ssl::context> tls;
  std::unique_ptr<tcp::acceptor> acceptor;
  std::unique_ptr<asio::thread_pool> workers;
  std::vector<std::thread> threads;
  std::atomic<std::size_t> queued{0};
  std::atomic<bool> stopping{false};
  int port = 0;

  std::mutex mutex;                 // what follows
  std::map<std::string, int> open;  // connections by address
  int total = 0;
  // Sign-ins that worked, by the SHA-256 of their header, until when they hold.
  std::map<std::string, std::chrono::steady_clock::time_point> signedIn;
  // Failed sign-ins by address: how many, since when.
  std::map<std::string, std::pair<int, std::chrono::steady_clock::time_point>> failed;

  bool Admit(const std::string& address) {
    const std::lock_guard lock(mutex);
    if (total >= options.limits.total || open[address] >= options.limits.perAddress) return false;
    ++open[address];
    ++total;
    return true;
  }
  void Left(const std::string& address) {
    const std::lock_guard lock(mutex);
    --total;
    if (--open[address] <= 0) open.erase(address);
  }
  void Accept();
  // The checks every request passes before its route; a status when one fails.
  int Check(const HttpRequest& request, HttpResponse& response);
  // Signing in: the answer to a request that needs it, none when it may go on.
  enum class SignIn { kYes, kNo, kVerify, kWait };
  SignIn Known(const HttpRequest& request, std::string& user, std::string& password,
               std::string& key);
  void Remember(const std::string& key, const std::string& address, bool worked) {
    const std::lock_guard lock(mutex);
    const auto now = std::chrono::steady_clock::now();
    if (worked) {
      if (signedIn.size() > 10000) signedIn.clear();
      signedIn[key] = now + std::chrono::minutes(5);
      return;
    }
    auto& [count, since] = failed[address];
    if (now - since > std::chrono::minutes(1)) {
      count = 0;
      since = now;
    }
    ++count;
  }
};

namespace {

// One connection: a request at a time, each within its deadline.
template <typename Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
 public:
  Session(std::shared_ptr<HttpServer::Core> core, Stream stream, std::string address)
      : core_(std::move(core)), stream_(std::move(stream)), address_(std::move(address)) {}
  ~Session() { core_->Left(address_); }

  void Start() {
    if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
      Read();
    } else {
      beast::get_lowest_layer(stream_).expires_after(core_->options.limits.request);
      stream_.async_handshake(ssl::stream_base::server,
                              [self = this->shared_from_this()](beast::error_code error) {
                                if (!error) self->Read();
                              });
    }
  }

 private:
  void Read() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(core_->options.limits.header));
    parser_->body_limit(1024);
    beast::get_lowest_layer(stream_).expires_after(core_->options.limits.request);
    http::async_read(stream_, buffer_, *parser_,
                     [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                       self->Received(error);
                     });
  }

  void Received(beast::error_code error) {
    if (error == http::error::header_limit) {
      // The request line is read first: when it was not whole yet, its target is too long.
      return Refuse(parser_->get().target().empty() ? 414 : 431);
    }
    if (error == http::error::body_limit) return Refuse(413);
    if (error == beast::error::timeout || error == http::error::end_of_stream ||
        error == asio::error::operation_aborted || error == asio::error::connection_reset ||
        error == asio::error::eof) {
      return Close();
    }
    if (error) return Refuse(400);
    const auto& message = parser_->get();
    HttpRequest request;
    request.method = std::string(message.method_string());
    request.peer = address_;
    for (const auto& field : message)
      request.headers[Lower(std::string(field.name_string()))] = std::string(field.value());
    keepAlive_ = message.keep_alive();
    head_ = message.method() == http::verb::head;
    HttpResponse response;
    const std::string target(message.target());
    if (target.size() > core_->options.limits.target) return Refuse(414);
    if (const int status = core_->Check(request, response); status != 0) {
      response.status = status;
      return Answer(std::move(response), status >= 400 && status != 404 && status != 401);
    }
    // The path and the query, decoded: a target that is no path is refused.
    if (target.empty() || target.front() != '/') return Refuse(400);
    const std::size_t question = target.find('?');
    if (!PercentDecode(target.substr(0, question), request.path, false)) return Refuse(400);
    if (question != std::string::npos) {
      std::string_view rest = std::string_view(target).substr(question + 1);
      while (!rest.empty()) {
        const std::size_t amp = std::min(rest.find('&'), rest.size());
        const std::string_view item = rest.substr(0, amp);
        const std::size_t equals = std::min(item.find('='), item.size());
        std::string key, value;
        if (!PercentDecode(item.substr(0, equals), key, true) ||
            !PercentDecode(equals < item.size() ? item.substr(equals + 1) : "", value, true)) {
          return Refuse(400);
        }
        if (!key.empty()) request.query.emplace(std::move(key), std::move(value));
        rest = amp < rest.size() ? rest.substr(amp + 1) : std::string_view();
      }
    }
    const HttpRoute* route = nullptr;
    for (const HttpRoute& r : core_->routes) {
      if (r.path == request.path) route = &r;
    }
    if (!route) {
      response.status = 404;
      response.type = "text/plain; charset=utf-8";
      response.body = "not found\n";
      return Answer(std::move(response), false);
    }
    // Signing in, when users are asked for: a known sign-in goes on at once, a new one is
    // verified on a worker (a password hash is slow on purpose).
    std::string user, password, key;
    switch (core_->Known(request, user, password, key)) {
      case HttpServer::Core::SignIn::kYes:
        request.user = user;
        break;
      case HttpServer::Core::SignIn::kNo: {
        response.status = 401;
        response.headers.push_back({"WWW-Authenticate", "Basic realm=\"" + core_->options.realm +
                                                            "\", charset=\"UTF-8\""});
        response.type = "text/plain; charset=utf-8";
        response.body = "who are you?\n";
        return Answer(std::move(response), false);
      }
      case HttpServer::Core::SignIn::kWait:
        response.status = 429;
        response.headers.push_back({"Retry-After", "60"});
        return Answer(std::move(response), true);
      case HttpServer::Core::SignIn::kVerify:
        return OnWorker(*route, std::move(request), user, password, key);
    }
    if (!route->slow) {
      route->handler(request, response);
      return Answer(std::move(response), false);
    }
    OnWorker(*route, std::move(request), {}, {}, {});
  }

  // Runs the route (and a sign-in to verify first) on a worker; answers on the session's
  // own executor.
  void OnWorker(const HttpRoute& route, HttpRequest request, std::string user, std::string password,
                std::string key) {
    if (core_->queued.fetch_add(1) >= core_->options.limits.queued) {
      --core_->queued;
      HttpResponse busy;
      busy.status = 503;
      busy.headers.push_back({"Retry-After", "5"});
      return Answer(std::move(busy), false);
    }
    asio::post(*core_->workers, [self = this->shared_from_this(), &route,
                                 request = std::move(request), user = std::move(user),
                                 password = std::move(password), key = std::move(key)]() mutable {
      HttpResponse response;
      bool go = true;
      if (!key.empty()) {
        go = !self->core_->stopping && self->core_->options.authenticate(user, password);
        self->core_->Remember(key, request.peer, go);
        request.user = user;
      }
      if (!go) {
        response.status = 401;
        response.headers.push_back(
            {"WWW-Authenticate",
             "Basic realm=\"" + self->core_->options.realm + "\", charset=\"UTF-8\""});
        response.type = "text/plain; charset=utf-8";
        response.body = "who are you?\n";
      } else if (!self->core_->stopping) {
        route.handler(request, response);
      } else {
        response.status = 503;
      }
      --self->core_->queued;
      asio::post(self->stream_.get_executor(), [self, response = std::move(response)]() mutable {
        self->Answer(std::move(response), false);
      });
    });
  }

  void Refuse(int status) {
    HttpResponse response;
    response.status = status;
    keepAlive_ = false;
    Answer(std::move(response), true);
  }

  void Answer(HttpResponse response, bool close) {
    auto message = std::make_shared<http::response<http::string_body>>();
    message->version(11);
    message->result(static_cast<unsigned>(response.status));
    if (response.body.empty() && response.status >= 400) {
      response.type = "text/plain; charset=utf-8";
      response.body = std::to_string(response.status) + " " + ReasonOf(response.status) + "\n";
    }
    if (!response.type.empty()) message->set(http::field::content_type, response.type);
    for (const auto& [name, value] : core_->options.headers)
      message->set(name, value);
    for (const auto& [name, value] : response.headers)
      message->set(name, value);
    const std::size_t length = response.body.size();
    if (!head_) message->body() = std::move(response.body);
    message->content_length(length);
    const bool keep = keepAlive_ && !close && !core_->stopping;
    message->keep_alive(keep);
    beast::get_lowest_layer(stream_).expires_after(core_->options.limits.request);
    http::async_write(
        stream_, *message,
        [self = this->shared_from_this(), message, keep](beast::error_code error, std::size_t) {
          if (error || !keep) return self->Close();
          self->Read();
        });
  }

  void Close() {
    beast::error_code ignored;
    if constexpr (std::is_same_v<Stream, beast::tcp_stream>) {
      stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    } else {
      beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(2));
      stream_.async_shutdown([self = this->shared_from_this()](beast::error_code) {});
    }
  }

  std::shared_ptr<HttpServer::Core> core_;
  Stream stream_;
  std::string address_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  bool keepAlive_ = false;
  bool head_ = false;
};

}  // namespace

int HttpServer::Core::Check(const HttpRequest& request, HttpResponse& response) {
  // The Host a browser sends names the site it thinks it reads: only this server's own
  // names and addresses are answered.
  std::string host = Lower(request.Header("host"));
  std::string port;
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    if (close == std::string::npos) return 400;
    port = host.substr(close + 1);
    host = host.substr(1, close - 1);
  } else if (const std::size_t colon = host.rfind(':'); colon != std::string::npos) {
    port = host.substr(colon);
    host = host.substr(0, colon);
  }
  if (!port.empty() && port != ":" + std::to_string(this->port)) return 421;
  if (host.empty() || !options.hosts.count(host)) return 421;
  if (request.method != "GET" && request.method != "HEAD") {
    response.headers.push_back({"Allow", "GET, HEAD"});
    return 405;
  }
  return 0;
}

HttpServer::Core::SignIn HttpServer::Core::Known(const HttpRequest& request, std::string& user,
                                                 std::string& password, std::string& key) {
  if (!options.authenticate) return SignIn::kYes;
  const std::string header = request.Header("authorization");
  if (Lower(header.substr(0, 6)) != "basic ") return SignIn::kNo;
  const auto decoded = FromBase64(header.substr(6));
  if (!decoded) return SignIn::kNo;
  const std::size_t colon = decoded->find(':');
  if (colon == std::string::npos) return SignIn::kNo;
  user = decoded->substr(0, colon);
  password = decoded->substr(colon + 1);
  key = Sha256Hex(header);
  const std::lock_guard lock(mutex);
  const auto now = std::chrono::steady_clock::now();
  if (const auto known = signedIn.find(key); known != signedIn.end()) {
    if (known->second > now) return SignIn::kYes;
    signedIn.erase(known);
  }
  if (const auto bad = failed.find(request.peer); bad != failed.end()) {
    if (now - bad->second.second <= std::chrono::minutes(1) &&
        bad->second.first >= options.limits.failures) {
      return SignIn::kWait;
    }
  }
  return SignIn::kVerify;
}

void HttpServer::Core::Accept() {
  acceptor->async_accept(asio::make_strand(*io), [self = shared_from_this()](
                                                     beast::error_code error, tcp::socket socket) {
    if (error || self->stopping) {
      if (!self->stopping && error != asio::error::operation_aborted) self->Accept();
      return;
    }
    beast::error_code ignored;
    const std::string address = socket.remote_endpoint(ignored).address().to_string();
    if (self->Admit(address)) {
      beast::tcp_stream stream(std::move(socket));
      if (self->tls) {
        std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(
            self, beast::ssl_stream<beast::tcp_stream>(std::move(stream), *self->tls), address)
            ->Start();
      } else {
        std::make_shared<Session<beast::tcp_stream>>(self, std::move(stream), address)->Start();
      }
    }
    // Over its share: the connection is closed at once, unread.
    self->Accept();
  });
}

HttpServer::HttpServer(std::vector<HttpRoute> routes, HttpOptions options)
    : core_(std::make_shared<Core>()) {
  core_->routes = std::move(routes);
  core_->options = std::move(options);
}

HttpServer::~HttpServer() {
  Stop();
}

int HttpServer::port() const {
  return core_->port;
}

bool HttpServer::Start(std::string& error) {
  Core& c = *core_;
  if (!c.options.certificate.empty() || !c.options.key.empty()) {
    c.tls = std::make_unique<ssl::context>(ssl::context::tls_server);
    c.tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                       ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1 |
                       ssl::context::single_dh_use);
    beast::error_code failed;
    c.tls->use_certificate_chain_file(c.options.certificate, failed);
    if (failed) {
      error = c.options.certificate + ": not a certificate this server can use (" +
              failed.message() + ")";
      return false;
    }
    c.tls->use_private_key_file(c.options.key, ssl::context::pem, failed);
    if (failed) {
      error = c.options.key + ": not a key this server can use (" + failed.message() + ")";
      return false;
    }
  }
  beast::error_code failed;
  const auto address = asio::ip::make_address(c.options.host, failed);
  if (failed) {
    error = c.options.host + ": no address to listen on";
    return false;
  }
  c.acceptor = std::make_unique<tcp::acceptor>(*c.io);
  const tcp::endpoint endpoint(address, static_cast<unsigned short>(c.options.port));
  c.acceptor->open(endpoint.protocol(), failed);
  if (!failed) c.acceptor->set_option(asio::socket_base::reuse_address(true), failed);
  if (!failed) c.acceptor->bind(endpoint, failed);
  if (!failed) c.acceptor->listen(asio::socket_base::max_listen_connections, failed);
  if (failed) {
    error = c.options.host + ":" + std::to_string(c.options.port) + ": cannot listen there (" +
            failed.message() + ")";
    return false;
  }
  c.port = c.acceptor->local_endpoint().port();
  c.workers =
      std::make_unique<asio::thread_pool>(std::max<std::size_t>(1, c.options.limits.workers));
  c.Accept();
  for (int i = 0; i < 2; ++i)
    c.threads.emplace_back([io = c.io.get()] { io->run(); });
  return true;
}

void HttpServer::Stop() {
  Core& c = *core_;
  if (c.stopping.exchange(true)) return;
  if (c.io) c.io->stop();
  for (std::thread& thread : c.threads)
    thread.join();
  c.threads.clear();
  if (c.workers) c.workers->join();  // a slow answer in hand is finished, then dropped
  // Every connection ends with the loop that served it; the core goes with the last.
  c.acceptor.reset();
  c.io.reset();
}

}  // namespace otp::web
