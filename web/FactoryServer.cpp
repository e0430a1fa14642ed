#include "web/FactoryServer.h"

#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QDate>
#include <QDateTime>
#include <QTime>
#include <boost/asio/ip/address.hpp>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "core/Texts.h"
#include "ops/FactoryReader.h"
#include "ops/StoreService.h"
#include "report/ReportPage.h"
#include "secrets/Password.h"
#include "store/ProductionStore.h"

namespace otp::web {

namespace {

using namespace std::chrono_literals;

std::string Lower(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A filter from a request's parameters; false (with `why`) for one that cannot be used:
// a time that is no time, a field given twice, a start after its end.
bool FilterOf(const HttpRequest& request, AttemptFilter& filter, std::string& why) {
  for (const char* name : {"since", "until", "job", "lot", "station"}) {
    if (request.query.count(name) > 1) {
      why = std::string(name) + ": give it once";
      return false;
    }
  }
  auto time = [&](const char* name, std::string& into) {
    const std::string value = request.Param(name);
    if (value.empty()) return true;
    const QString text = QString::fromStdString(value);
    QDateTime at = QDateTime::fromString(text, Qt::ISODate);
    if (!at.isValid()) {
      const QDate day = QDate::fromString(text, Qt::ISODate);
      if (day.isValid()) at = QDateTime(day, QTime(0, 0), Qt::UTC);
    }
    if (!at.isValid() || at.date().year() < 1 || at.date().year() > 9999) {
      why = std::string(name) + ": expected a date or a time (ISO 8601), not " +
            Printable(value.substr(0, 80));
      return false;
    }
    into = at.toUTC().toString(Qt::ISODate).toStdString();
    return true;
  };
  if (!time("since", filter.since) || !time("until", filter.until)) return false;
  if (!filter.since.empty() && !filter.until.empty() && filter.since > filter.until) {
    why = "since: after until";
    return false;
  }
  filter.job = request.Param("job");
  filter.lot = request.Param("lot");
  filter.station = request.Param("station");
  return true;
}

void Text(HttpResponse& response, int status, const std::string& text) {
  response.status = status;
  response.type = "text/plain; charset=utf-8";
  response.body = text + "\n";
}

}  // namespace

bool IsLoopback(const std::string& address) {
  boost::system::error_code error;
  const auto parsed = boost::asio::ip::make_address(address, error);
  return !error && parsed.is_loopback();
}

std::set<std::string> HostNames(const std::string& address,
                                const std::vector<std::string>& allowed) {
  std::set<std::string> names;
  boost::system::error_code error;
  const auto parsed = boost::asio::ip::make_address(address, error);
  if (!error) names.insert(Lower(parsed.to_string()));
  const bool wildcard = !error && parsed.is_unspecified();
  if (wildcard || (!error && parsed.is_loopback())) {
    names.insert({"localhost", "127.0.0.1", "::1"});
  }
  if (!error && !parsed.is_loopback()) {
    char host[256] = {};
    if (::gethostname(host, sizeof(host) - 1) == 0 && host[0]) names.insert(Lower(host));
  }
  if (wildcard) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) == 0) {
      for (const ifaddrs* item = list; item; item = item->ifa_next) {
        if (!item->ifa_addr) continue;
        const int family = item->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        char text[NI_MAXHOST] = {};
        const socklen_t size = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (::getnameinfo(item->ifa_addr, size, text, sizeof(text), nullptr, 0, NI_NUMERICHOST) ==
            0) {
          std::string name = text;
          name = name.substr(0, name.find('%'));  // an IPv6 address's zone is no part of Host
          names.insert(Lower(name));
        }
      }
      ::freeifaddrs(list);
    }
  }
  for (const std::string& name : allowed)
    names.insert(Lower(name));
  return names;
}

bool ReadUsers(const std::string& file, std::map<std::string, std::string>& users,
               std::string& error) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = file + ": cannot be read";
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line.front() == '#') continue;
    const std::size_t colon = line.find(':');
    const std::string name = colon == std::string::npos ? std::string() : line.substr(0, colon);
    const std::string hash = colon == std::string::npos ? std::string() : line.substr(colon + 1);
    if (name.empty() || !secrets::KnownHash(hash)) {
      error = file + ":" + std::to_string(number) +
              ": expected NAME:HASH, the hash an Argon2id or bcrypt one";
      return false;
    }
    users[name] = hash;
  }
  if (users.empty()) {
    error = file + ": names no user";
    return false;
  }
  return true;
}

Language LanguageOf(const std::string& acceptLanguage, const std::string& lang) {
  if (lang == "ja") return Language::kJapanese;
  if (lang == "en") return Language::kEnglish;
  // The first language the browser names that this page has.
  std::size_t at = 0;
  while (at < acceptLanguage.size()) {
    const std::size_t end = std::min(acceptLanguage.find(',', at), acceptLanguage.size());
    std::string tag = acceptLanguage.substr(at, end - at);
    tag.erase(0, tag.find_first_not_of(' '));
    if (tag.rfind("ja", 0) == 0) return Language::kJapanese;
    if (tag.rfind("en", 0) == 0) return Language::kEnglish;
    at = end + 1;
  }
  return Language::kEnglish;
}

struct FactoryServer::Core {
  explicit Core(ServeOptions o)
      : options(std::move(o)),
        store(ProductionStore::Printable(options.store)),
        service(ProductionStore::OpenerFor(options.store,
                                           [] {
                                             ProductionStore::Options read;
                                             read.access = ProductionStore::Access::kRead;
                                             return read;
                                           }())),
        reader(std::make_shared<FactoryReader>(options.limits)) {}

  // One look at the store: the snapshot's JSON, or why there is none.
  void Look() {
    auto result = std::make_shared<std::string>();
    StoreError error;
    const auto answer = service.Call(
        [reader = reader, result](RecordStore& s, StoreError& e) {
          const auto now = std::chrono::system_clock::now();
          if (const auto snapshot = reader->Look(s, now, e)) {
            *result = FactoryJson(
                *snapshot,
                QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString());
          }
        },
        5s, error);
    const std::lock_guard lock(mutex);
    if (answer == StoreService::Answer::kDone && !result->empty()) {
      json = *result;
      problem.clear();
    } else {
      problem =
          error.text.empty() ? Tr(Language::kEnglish, "the store does not answer") : error.text;
    }
  }

  std::string Stations() const {
    const std::lock_guard lock(mutex);
    if (problem.empty()) return json;
    // The last snapshot, and why it is not newer.
    std::string out = json.empty() ? std::string("{\"stations\":[],\"alarms\":[]}") : json;
    out.insert(1, "\"error\":" + JsonString(Printable(problem)) + ",");
    return out;
  }

  static Language LanguageOfRequest(const HttpRequest& request) {
    return LanguageOf(request.Header("Accept-Language"), request.Param("lang"));
  }

  // The routes: one function each.
  void Page(const HttpRequest& request, HttpResponse& response) const {
    response.type = "text/html; charset=utf-8";
    response.body = FactoryPage(LanguageOfRequest(request), store);
  }
  static void Script(const HttpRequest&, HttpResponse& response) {
    response.type = "text/javascript; charset=utf-8";
    response.body = FactoryScript();
  }
  static void Style(const HttpRequest&, HttpResponse& response) {
    response.type = "text/css; charset=utf-8";
    response.body = FactoryStyle();
  }
  void StationsJson(const HttpRequest&, HttpResponse& response) const {
    response.type = "application/json; charset=utf-8";
    response.body = Stations();
  }
  // The batch report of a request's filter, as the store counts it; nothing, with the
  // answer set, when the filter cannot be used or the store does not answer.
  std::optional<BatchFigures> FiguresOf(const HttpRequest& request, HttpResponse& response,
                                        AttemptFilter& filter) {
    std::string why;
    if (!FilterOf(request, filter, why)) {
      Text(response, 400, why);
      return std::nullopt;
    }
    auto figures = std::make_shared<std::optional<BatchFigures>>();
    StoreError error;
    const auto answer = service.Call(
        [filter, figures](RecordStore& s, StoreError& e) { *figures = s.Figures(filter, e); }, 30s,
        error);
    if (answer != StoreService::Answer::kDone || !*figures) {
      Text(response, 503, Printable(error.text.empty() ? "the store does not answer" : error.text));
      return std::nullopt;
    }
    return **figures;
  }
  void ReportJson(const HttpRequest& request, HttpResponse& response) {
    AttemptFilter filter;
    const auto figures = FiguresOf(request, response, filter);
    if (!figures) return;
    response.type = "application/json; charset=utf-8";
    response.body = BatchFiguresJson(*figures);
  }
  void ReportPage(const HttpRequest& request, HttpResponse& response, bool pdf) {
    AttemptFilter filter;
    const auto figures = FiguresOf(request, response, filter);
    if (!figures) return;
    const Language language = LanguageOfRequest(request);
    const report::ReportContext context = report::ContextOf(filter, store, language);
    const std::lock_guard lock(reports);
    if (pdf) {
      response.type = "application/pdf";
      response.body = report::Pdf(*figures, context, language).toStdString();
      response.headers.push_back({"Content-Disposition", "inline; filename=\"batch-report.pdf\""});
    } else {
      response.type = "text/html; charset=utf-8";
      response.body = report::Html(*figures, context, language);
    }
  }

  ServeOptions options;
  std::string store;  // as it may be shown
  StoreService service;
  std::shared_ptr<FactoryReader> reader;
  std::map<std::string, std::string> users;  // by name, their hashes
  Audience audience = Audience::kThisComputer;
  std::unique_ptr<HttpServer> http;
  std::thread looking;
  mutable std::mutex mutex;  // what follows
  std::condition_variable changed;
  bool stopping = false;
  std::string json;
  std::string problem;
  std::mutex reports;  // one report page at a time
};

FactoryServer::FactoryServer(ServeOptions options)
    : core_(std::make_unique<Core>(std::move(options))) {}

FactoryServer::~FactoryServer() {
  Stop();
}

int FactoryServer::port() const {
  return core_->http ? core_->http->port() : core_->options.port;
}

Audience FactoryServer::audience() const {
  return core_->audience;
}

std::size_t FactoryServer::users() const {
  return core_->users.size();
}

bool FactoryServer::tls() const {
  return !core_->options.certificate.empty();
}

std::string FactoryServer::Stations() const {
  return core_->Stations();
}

bool FactoryServer::Start(std::string& error) {
  Core& c = *core_;
  const ServeOptions& o = c.options;
  // Who may read it, decided before anything listens.
  if (o.certificate.empty() != o.key.empty()) {
    error = "TLS needs both --tls-cert and --tls-key";
    return false;
  }
  if (!o.users.empty()) {
    if (o.certificate.empty()) {
      error = "--users: HTTP Basic sends passwords in the clear; it needs --tls-cert and --tls-key";
      return false;
    }
    if (!ReadUsers(o.users, c.users, error)) return false;
    c.audience = Audience::kUsers;
  } else if (!IsLoopback(o.host)) {
    if (!o.insecureOpen) {
      error = o.host +
              " reaches beyond this computer: name who may read the view with --users FILE "
              "(with --tls-cert and --tls-key), or say --insecure-open";
      return false;
    }
    c.audience = Audience::kAnyone;
  }
  // Each slow client holds a socket: as many as the system lets this process have.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  StoreError opened;
  if (!c.service.Open(opened, 15s)) {
    error = opened.text;
    return false;
  }
  HttpOptions http;
  http.host = o.host;
  http.port = o.port;
  http.hosts = HostNames(o.host, o.allowHosts);
  http.certificate = o.certificate;
  http.key = o.key;
  http.limits = o.http;
  if (!c.users.empty()) {
    http.authenticate = [&c](const std::string& user, const std::string& password) {
      const auto known = c.users.find(user);
      // An unknown user costs as much as a known one: a hash is verified either way.
      static const std::string kNobody = secrets::HashPassword("no one signs in with this");
      return secrets::VerifyPassword(known == c.users.end() ? kNobody : known->second, password) &&
             known != c.users.end();
    };
  }
  // Its own script and style only; no frame may hold it; nothing kept by a cache.
  http.headers = {
      {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'; form-action 'self'"},
      {"X-Content-Type-Options", "nosniff"},
      {"Cache-Control", "no-store"},
      {"Referrer-Policy", "no-referrer"}};
  std::vector<HttpRoute> routes = {
      {"/", [&c](const HttpRequest& q, HttpResponse& r) { c.Page(q, r); }, false},
      {"/app.js", &Core::Script, false},
      {"/app.css", &Core::Style, false},
      {"/api/stations", [&c](const HttpRequest& q, HttpResponse& r) { c.StationsJson(q, r); },
       false},
      {"/api/report", [&c](const HttpRequest& q, HttpResponse& r) { c.ReportJson(q, r); }, true},
      {"/report", [&c](const HttpRequest& q, HttpResponse& r) { c.ReportPage(q, r, false); }, true},
      {"/report.pdf", [&c](const HttpRequest& q, HttpResponse& r) { c.ReportPage(q, r, true); },
       true},
  };
  c.http = std::make_unique<HttpServer>(std::move(routes), std::move(http));
  if (!c.http->Start(error)) {
    c.http.reset();
    return false;
  }
  c.Look();
  c.looking = std::thread([&c] {
    std::unique_lock lock(c.mutex);
    while (!c.stopping) {
      lock.unlock();
      c.Look();
      lock.lock();
      c.changed.wait_for(lock, c.options.refresh, [&c] { return c.stopping; });
    }
  });
  return true;
}

void FactoryServer::Stop() {
  Core& c = *core_;
  {
    const std::lock_guard lock(c.mutex);
    c.stopping = true;
  }
  c.changed.notify_all();
  // The store first: a report that waits for it ends at once.
  c.service.Close(std::chrono::seconds(1));
  if (c.http) c.http->Stop();
  if (c.looking.joinable()) c.looking.join();
}

}  // namespace otp::web
