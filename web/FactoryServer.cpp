#include "web/FactoryServer.h"

#include <httplib.h>

#include <QDate>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTime>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "core/Texts.h"
#include "ops/Production.h"
#include "ops/StoreService.h"
#include "report/ReportPage.h"
#include "store/ProductionStore.h"

namespace otp::web {

namespace {

using namespace std::chrono_literals;

// What the reading of the store keeps from one look to the next (touched on the store
// service's thread only).
struct Reading {
  std::vector<std::string> stations;
  std::chrono::steady_clock::time_point stationsAt{};
  std::map<std::string, FactoryInput::Records> records;
  std::string newest;  // the newest attempt's unit id at the last look
  std::string today;   // the day and hour the counts are of
  std::string hour;
};

// Local midnight and the start of this hour, in UTC as the records keep times.
std::pair<std::string, std::string> TodayAndHour() {
  const QDateTime now = QDateTime::currentDateTime();
  const QDateTime midnight(now.date(), QTime(0, 0));
  const QDateTime hour(now.date(), QTime(now.time().hour(), 0));
  return {midnight.toUTC().toString(Qt::ISODate).toStdString(),
          hour.toUTC().toString(Qt::ISODate).toStdString()};
}

// The records of `station`: its counts of today and of this hour, its last units.
bool ReadRecords(RecordStore& s, const std::string& station, const std::string& today,
                 const std::string& hour, FactoryInput::Records& records, StoreError& e) {
  AttemptFilter filter;
  filter.station = station;
  filter.since = today;
  const auto day = s.OutcomeCounts(filter, e);
  if (!day) return false;
  filter.since = hour;
  const auto thisHour = s.OutcomeCounts(filter, e);
  if (!thisHour) return false;
  AttemptFilter last;
  last.station = station;
  last.last = StationView::kLastUnits;
  auto units = s.Attempts(last, e);
  if (!units) return false;
  records.today = *day;
  records.thisHour = *thisHour;
  records.last = std::move(*units);
  return true;
}

// A filter from a request's parameters; false (with `why`) for one that is no time.
bool FilterOf(const httplib::Request& request, AttemptFilter& filter, std::string& why) {
  auto time = [&](const char* name, std::string& into) {
    if (!request.has_param(name) || request.get_param_value(name).empty()) return true;
    const QString text = QString::fromStdString(request.get_param_value(name));
    QDateTime at = QDateTime::fromString(text, Qt::ISODate);
    if (!at.isValid()) {
      const QDate day = QDate::fromString(text, Qt::ISODate);
      if (day.isValid()) at = QDateTime(day, QTime(0, 0), Qt::UTC);
    }
    if (!at.isValid()) {
      why = std::string(name) + ": expected a date or a time (ISO 8601), not " +
            Printable(text.toStdString());
      return false;
    }
    into = at.toUTC().toString(Qt::ISODate).toStdString();
    return true;
  };
  if (!time("since", filter.since) || !time("until", filter.until)) return false;
  filter.job = request.get_param_value("job");
  filter.lot = request.get_param_value("lot");
  filter.station = request.get_param_value("station");
  return true;
}

}  // namespace

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

std::optional<StationLive> ParseLive(const std::string& live) {
  QJsonParseError error{};
  const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(live), &error);
  if (error.error != QJsonParseError::NoError || !document.isObject()) return std::nullopt;
  const QJsonObject o = document.object();
  StationLive parsed;
  parsed.away = o["away"].toBool();
  parsed.waiting = static_cast<std::size_t>(std::max(0, o["waiting"].toInt()));
  if (o["numbersLeft"].isDouble())
    parsed.numbersLeft = static_cast<std::size_t>(std::max(0.0, o["numbersLeft"].toDouble()));
  parsed.counter = o["counter"].toString().toStdString();
  if (o["largest"].isDouble() && o["largest"].toInteger() >= 0)
    parsed.largest = static_cast<std::uint64_t>(o["largest"].toInteger());
  parsed.job = o["job"].toString().toStdString();
  parsed.lot = o["lot"].toString().toStdString();
  parsed.quantity = static_cast<std::uint64_t>(std::max(0.0, o["quantity"].toDouble()));
  parsed.lotPassed = std::max(0, o["lotPassed"].toInt());
  for (const QJsonValue& value : o["ports"].toArray()) {
    const QJsonObject p = value.toObject();
    StationLive::Port port;
    port.name = p["port"].toString().toStdString();
    port.state = PortStateNamed(p["state"].toString().toStdString())
                     .value_or(StationLive::Port::State::kIdle);
    if (p["serial"].isDouble()) port.serial = static_cast<std::uint64_t>(p["serial"].toDouble());
    port.outcome = OutcomeNamed(p["outcome"].toString().toStdString());
    parsed.ports.push_back(std::move(port));
  }
  return parsed;
}

struct FactoryServer::Core {
  explicit Core(ServeOptions o)
      : options(std::move(o)), service(ProductionStore::OpenerFor(options.store, [] {
          ProductionStore::Options read;
          read.access = ProductionStore::Access::kRead;
          return read;
        }())) {}

  // One look at the store: the snapshot's JSON, or why there is none.
  void Look() {
    auto reading = reading_;
    auto result = std::make_shared<std::pair<std::string, std::string>>();
    const AlarmLimits limits = options.limits;
    StoreError error;
    const auto answer = service.Call(
        [reading, result, limits](RecordStore& s, StoreError& e) {
          FactoryInput input;
          const auto leases = s.Leases(e);
          if (!leases) return;
          input.leases = *leases;
          input.grace = s.Setting(kGraceSetting, e).value_or(kDefaultGrace.count());
          if (e.kind != StoreError::Kind::kNone) return;
          const auto [today, hour] = TodayAndHour();
          const auto now = std::chrono::steady_clock::now();
          // Every station, read again now and then; the counts of those that recorded
          // units since the last look, of all when the hour turned.
          if (reading->stations.empty() || now - reading->stationsAt > 60s) {
            const auto names = s.StationNames(e);
            if (!names) return;
            reading->stations = *names;
            reading->stationsAt = now;
          }
          AttemptFilter newest;
          newest.last = 200;
          const auto latest = s.Attempts(newest, e);
          if (!latest) return;
          std::set<std::string> changed;
          bool found = false;
          for (auto a = latest->rbegin(); a != latest->rend(); ++a) {
            if (a->unitId == reading->newest) {
              found = true;
              break;
            }
            changed.insert(a->station);
          }
          const bool all = !found || today != reading->today || hour != reading->hour;
          for (const std::string& station : reading->stations) {
            if (!all && !changed.count(station) && reading->records.count(station)) continue;
            if (!ReadRecords(s, station, today, hour, reading->records[station], e)) return;
          }
          for (const std::string& station : changed) {
            if (std::find(reading->stations.begin(), reading->stations.end(), station) ==
                reading->stations.end()) {
              reading->stations.push_back(station);
              if (!ReadRecords(s, station, today, hour, reading->records[station], e)) return;
            }
          }
          reading->newest = latest->empty() ? std::string() : latest->back().unitId;
          reading->today = today;
          reading->hour = hour;
          input.stations = reading->stations;
          input.records = reading->records;
          for (const Lease& lease : input.leases) {
            if (auto live = ParseLive(lease.live)) input.live[lease.holder.owner] = *live;
          }
          // The counters the stations name, for the numbers left under their rules.
          for (const auto& [owner, live] : input.live) {
            if (live.counter.empty() || input.counters.count(live.counter)) continue;
            Counter counter;
            bool found = false;
            if (!s.ReadCounter(live.counter, counter, found, e)) return;
            if (found) input.counters[live.counter] = counter;
          }
          const FactorySnapshot snapshot = BuildFactory(input, limits);
          result->first = FactoryJson(
              snapshot, QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString());
        },
        5s, error);
    const std::lock_guard lock(mutex);
    if (answer == StoreService::Answer::kDone && !result->first.empty()) {
      json = result->first;
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

  ServeOptions options;
  StoreService service;
  httplib::Server http;
  std::thread listening;
  std::thread looking;
  mutable std::mutex mutex;  // what follows
  std::condition_variable changed;
  bool stopping = false;
  bool listenEnded = false;  // the listening thread's listen returned
  std::string json;
  std::string problem;
  std::mutex reports;  // one report page at a time
  std::shared_ptr<Reading> reading_ = std::make_shared<Reading>();
};

FactoryServer::FactoryServer(ServeOptions options)
    : core_(std::make_unique<Core>(std::move(options))) {}

FactoryServer::~FactoryServer() {
  Stop();
}

int FactoryServer::port() const {
  return core_->options.port;
}

std::string FactoryServer::Stations() const {
  return core_->Stations();
}

bool FactoryServer::Start(std::string& error) {
  Core& c = *core_;
  StoreError opened;
  if (!c.service.Open(opened, 15s)) {
    error = opened.text;
    return false;
  }
  httplib::Server& http = c.http;
  const std::string store = ProductionStore::Printable(c.options.store);
  auto secure = [](httplib::Response& response) {
    // Its own script and style only; no frame may hold it.
    response.set_header("Content-Security-Policy",
                        "default-src 'self'; frame-ancestors 'none'; form-action 'self'");
    response.set_header("X-Content-Type-Options", "nosniff");
    response.set_header("Cache-Control", "no-store");
  };
  auto languageOf = [](const httplib::Request& request) {
    return LanguageOf(request.get_header_value("Accept-Language"), request.get_param_value("lang"));
  };
  http.Get("/", [store, secure, languageOf](const httplib::Request& request,
                                            httplib::Response& response) {
    secure(response);
    response.set_content(FactoryPage(languageOf(request), store), "text/html; charset=utf-8");
  });
  http.Get("/app.js", [secure](const httplib::Request&, httplib::Response& response) {
    secure(response);
    response.set_content(FactoryScript(), "text/javascript; charset=utf-8");
  });
  http.Get("/app.css", [secure](const httplib::Request&, httplib::Response& response) {
    secure(response);
    response.set_content(FactoryStyle(), "text/css; charset=utf-8");
  });
  http.Get("/api/stations", [&c, secure](const httplib::Request&, httplib::Response& response) {
    secure(response);
    response.set_content(c.Stations(), "application/json; charset=utf-8");
  });
  // The batch report of a filter: its figures as JSON, the page as HTML or PDF.
  auto figuresOf = [&c](const httplib::Request& request, httplib::Response& response,
                        AttemptFilter& filter) -> std::optional<BatchFigures> {
    std::string why;
    if (!FilterOf(request, filter, why)) {
      response.status = 400;
      response.set_content(why + "\n", "text/plain; charset=utf-8");
      return std::nullopt;
    }
    auto figures = std::make_shared<std::optional<BatchFigures>>();
    StoreError error;
    const auto answer = c.service.Call(
        [filter, figures](RecordStore& s, StoreError& e) { *figures = s.Figures(filter, e); }, 30s,
        error);
    if (answer != StoreService::Answer::kDone || !*figures) {
      response.status = 503;
      response.set_content(
          Printable(error.text.empty() ? "the store does not answer" : error.text) + "\n",
          "text/plain; charset=utf-8");
      return std::nullopt;
    }
    return **figures;
  };
  http.Get("/api/report", [figuresOf, secure](const httplib::Request& request,
                                              httplib::Response& response) {
    secure(response);
    AttemptFilter filter;
    const auto figures = figuresOf(request, response, filter);
    if (!figures) return;
    std::string reasons = "[";
    for (const BatchFigures::Reason& reason : figures->reasons) {
      reasons += std::string(reasons.size() > 1 ? "," : "") +
                 "{\"id\":" + (reason.id ? std::to_string(*reason.id) : std::string("null")) +
                 ",\"text\":" + JsonString(Printable(reason.text)) +
                 ",\"count\":" + std::to_string(reason.count) + "}";
    }
    const bool written = figures->passed + figures->failed > 0;
    response.set_content(
        "{\"units\":" + std::to_string(figures->units) + ",\"passed\":" +
            std::to_string(figures->passed) + ",\"failed\":" + std::to_string(figures->failed) +
            ",\"yield\":" + (written ? Decimal(figures->Yield(), 1) : std::string("null")) +
            ",\"outcomes\":" + OutcomeCountsJson(figures->outcomes) + ",\"readings\":" +
            ReadingCountsJson(figures->readings) + ",\"reasons\":" + reasons + "]}",
        "application/json; charset=utf-8");
  });
  auto page = [&c, figuresOf, secure, languageOf, store](bool pdf) {
    return [&c, figuresOf, secure, languageOf, store, pdf](const httplib::Request& request,
                                                           httplib::Response& response) {
      secure(response);
      AttemptFilter filter;
      const auto figures = figuresOf(request, response, filter);
      if (!figures) return;
      const Language language = languageOf(request);
      const report::ReportContext context = report::ContextOf(filter, store, language);
      const std::lock_guard lock(c.reports);
      if (pdf) {
        const QByteArray bytes = report::Pdf(*figures, context, language);
        response.set_content(bytes.toStdString(), "application/pdf");
        response.set_header("Content-Disposition", "inline; filename=\"batch-report.pdf\"");
      } else {
        response.set_content(report::Html(*figures, context, language), "text/html; charset=utf-8");
      }
    };
  };
  http.Get("/report", page(false));
  http.Get("/report.pdf", page(true));
  // Nothing can change anything: every other method is refused.
  auto refuse = [](const httplib::Request&, httplib::Response& response) {
    response.status = 405;
    response.set_header("Allow", "GET, HEAD");
  };
  http.Post(".*", refuse);
  http.Put(".*", refuse);
  http.Patch(".*", refuse);
  http.Delete(".*", refuse);
  http.Options(".*", refuse);
  http.set_keep_alive_max_count(100);
  const int bound = c.options.port == 0
                        ? http.bind_to_any_port(c.options.host)
                        : (http.bind_to_port(c.options.host, c.options.port) ? c.options.port : -1);
  if (bound < 0) {
    error = c.options.host + ":" + std::to_string(c.options.port) +
            ": cannot listen there (in use, or no such address)";
    return false;
  }
  c.options.port = bound;
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
  c.listening = std::thread([&c, &http] {
    http.listen_after_bind();
    {
      const std::lock_guard lock(c.mutex);
      c.listenEnded = true;
    }
    c.changed.notify_all();
  });
  // The server takes a stop only once it runs: until then a Stop would be lost and the
  // listening thread would wait for a connection for ever. Running is not signalled, so
  // it is looked at every millisecond, a few at most.
  std::unique_lock lock(c.mutex);
  while (!http.is_running() && !c.listenEnded)
    c.changed.wait_for(lock, 1ms);
  return true;
}

void FactoryServer::Wait() {
  Core& c = *core_;
  std::unique_lock lock(c.mutex);
  c.changed.wait(lock, [&c] { return c.stopping; });
}

void FactoryServer::Stop() {
  Core& c = *core_;
  {
    const std::lock_guard lock(c.mutex);
    c.stopping = true;
  }
  c.changed.notify_all();
  c.http.stop();
  if (c.listening.joinable()) c.listening.join();
  if (c.looking.joinable()) c.looking.join();
  c.service.Close(std::chrono::seconds(1));
}

}  // namespace otp::web
