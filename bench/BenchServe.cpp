// Measures the factory view under a factory's load: otpwriter-cli serve on a store where
// 20 stations of 4 ports record units (one every 2 to 4 s a port) and publish their live
// state as a station does (when it changes, at most once a second), while 50 browsers
// follow the page (each asks for /api/stations every second, as the page's script does).
// Prints the server's CPU time over the wall time, how long a unit's record takes to show
// in /api/stations (looked at every 50 ms) and so on the page (plus the page's second),
// and each station's live-state writes a second.
//
// usage: bench_serve CLI STORE [SECONDS]

#include <httplib.h>
#include <signal.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "ops/Factory.h"
#include "store/ProductionStore.h"
#include "tests/support/Process.h"

namespace {

using namespace otp;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

constexpr int kStations = 20;
constexpr int kPorts = 4;
constexpr int kBrowsers = 50;

double CpuSecondsOf(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::vector<std::string> fields;
  for (std::string field; rest >> field;)
    fields.push_back(field);
  return fields.size() > 12 ? (std::stod(fields[11]) + std::stod(fields[12])) / sysconf(_SC_CLK_TCK)
                            : 0;
}

struct Shared {
  std::mutex mutex;
  std::map<std::string, std::vector<Steady::time_point>> recorded;  // by station: each unit's
  std::vector<double> latency;                                      // record to JSON, ms
  std::atomic<long> writes{0};
  std::atomic<bool> stop{false};
};

// A station: its units recorded, its live state published as a station does.
void RunStation(const std::string& location, int index, Shared& shared) {
  StoreError error;
  auto store = ProductionStore::Open(location, error);
  if (!store) return;
  const std::string name = "bench-" + std::to_string(index);
  const std::string owner = name + "-" + std::to_string(::getpid());
  store->Claim(LeaseHolder{owner, name, "bench", "boot", ::getpid(), "0"}, error);
  std::mt19937 random(static_cast<unsigned>(index));
  std::uniform_int_distribution<int> unitMs(2000, 4000);
  StationLive live;
  live.job = "BENCH";
  std::vector<Steady::time_point> ends(kPorts);
  for (int p = 0; p < kPorts; ++p) {
    live.ports.push_back(
        {"COM" + std::to_string(p + 1), StationLive::Port::State::kWorking, {}, {}});
    ends[p] = Steady::now() + std::chrono::milliseconds(unitMs(random));
  }
  std::string posted;
  auto postedAt = Steady::now() - 10s;
  long sequence = 0;
  while (!shared.stop) {
    const auto now = Steady::now();
    for (int p = 0; p < kPorts; ++p) {
      if (now < ends[p]) continue;
      Attempt a;
      a.unitId = owner + "-" + std::to_string(++sequence);
      a.station = name;
      a.port = live.ports[p].name;
      a.started = QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toStdString();
      a.ended = a.started;
      a.job = "BENCH";
      a.outcome = sequence % 40 == 0 ? UnitOutcome::kFail : UnitOutcome::kPass;
      if (store->SettleAndRecord(a, owner, error)) {
        const std::lock_guard lock(shared.mutex);
        shared.recorded[name].push_back(Steady::now());
      }
      live.ports[p].outcome = a.outcome;
      live.ports[p].state = StationLive::Port::State::kWorking;
      ends[p] = now + std::chrono::milliseconds(unitMs(random));
    }
    const std::string json = LiveJson(live);
    if (json != posted && Steady::now() - postedAt >= 1s) {
      store->Heartbeat(owner, json, error);
      ++shared.writes;
      posted = json;
      postedAt = Steady::now();
    }
    std::this_thread::sleep_for(50ms);
  }
  store->Release(owner, error);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_serve CLI STORE [SECONDS]\n");
    return 2;
  }
  const std::string cli = argv[1];
  const std::string location = argv[2];
  const int seconds = argc > 3 ? std::atoi(argv[3]) : 60;
  {
    StoreError error;
    if (!ProductionStore::Open(location, error)) {
      std::fprintf(stderr, "%s\n", error.text.c_str());
      return 1;
    }
  }
  Shared shared;
  std::vector<std::thread> stations;
  for (int i = 0; i < kStations; ++i)
    stations.emplace_back(RunStation, location, i, std::ref(shared));
  test::Process serve(cli, {"--db", location, "--json", "serve", "--listen", "127.0.0.1:0"});
  const std::string url = test::WaitForJsonText(serve, "url");
  if (url.empty()) {
    std::fprintf(stderr, "serve did not start: %s\n", serve.Errors().c_str());
    return 1;
  }
  const int port = std::stoi(url.substr(url.rfind(':') + 1));
  std::this_thread::sleep_for(3s);  // every station seen once
  // Fifty browsers, a request a second each, spread over the second.
  std::atomic<long> requests{0}, failures{0};
  std::vector<std::thread> browsers;
  for (int b = 0; b < kBrowsers; ++b) {
    browsers.emplace_back([&, b] {
      httplib::Client client("127.0.0.1", port);
      std::this_thread::sleep_for(std::chrono::milliseconds(1000 * b / kBrowsers));
      while (!shared.stop) {
        const auto asked = Steady::now();
        const auto answer = client.Get("/api/stations");
        ++requests;
        if (!answer || answer->status != 200) ++failures;
        std::this_thread::sleep_until(asked + 1s);
      }
    });
  }
  // One watcher, every 50 ms: when each recorded unit shows in the JSON.
  std::thread watcher([&] {
    httplib::Client client("127.0.0.1", port);
    std::map<std::string, int> seen;  // units of today shown, by station
    std::map<std::string, int> base;
    while (!shared.stop) {
      const auto answer = client.Get("/api/stations");
      const auto at = Steady::now();
      if (answer && answer->status == 200) {
        const QJsonObject json =
            QJsonDocument::fromJson(QByteArray::fromStdString(answer->body)).object();
        for (const QJsonValue& value : json["stations"].toArray()) {
          const QJsonObject s = value.toObject();
          const std::string name = s["name"].toString().toStdString();
          const int shown = s["passedToday"].toInt() + s["failedToday"].toInt();
          const std::lock_guard lock(shared.mutex);
          auto& times = shared.recorded[name];
          if (!base.count(name)) {
            // What was recorded before the watcher began is not timed.
            base[name] = shown - static_cast<int>(times.size());
            seen[name] = shown;
            continue;
          }
          for (int n = seen[name]; n < shown; ++n) {
            const int index = n - base[name];
            if (index >= 0 && index < static_cast<int>(times.size())) {
              shared.latency.push_back(
                  std::chrono::duration<double, std::milli>(at - times[index]).count());
            }
          }
          seen[name] = std::max(seen[name], shown);
        }
      }
      std::this_thread::sleep_for(50ms);
    }
  });
  const double cpuBefore = CpuSecondsOf(serve.pid());
  const long writesBefore = shared.writes;
  const auto began = Steady::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double wall = std::chrono::duration<double>(Steady::now() - began).count();
  const double cpu = CpuSecondsOf(serve.pid()) - cpuBefore;
  const long writes = shared.writes - writesBefore;
  shared.stop = true;
  for (auto& t : browsers)
    t.join();
  watcher.join();
  for (auto& t : stations)
    t.join();
  serve.Signal(SIGINT);
  serve.Wait();
  std::vector<double> latency;
  {
    const std::lock_guard lock(shared.mutex);
    latency = shared.latency;
  }
  std::sort(latency.begin(), latency.end());
  auto at = [&](double q) {
    return latency.empty() ? 0.0
                           : latency[std::min(latency.size() - 1,
                                              static_cast<std::size_t>(q * latency.size()))];
  };
  std::printf("%d stations x %d ports, %d browsers, %d s on %s:\n", kStations, kPorts, kBrowsers,
              seconds, ProductionStore::Printable(location).c_str());
  std::printf("  server: %.2f s CPU over %.1f s: %.1f%% of one core (at most 10%%)\n", cpu, wall,
              100 * cpu / wall);
  std::printf("  requests: %ld (%.1f a second), %ld failed\n", requests.load(), requests / wall,
              failures.load());
  std::printf(
      "  a unit's record in /api/stations: median %.0f ms, p99 %.0f ms, largest %.0f ms (%zu "
      "units); on the page, a second more at most: %.2f s (at most 2 s)\n",
      at(0.5), at(0.99), latency.empty() ? 0.0 : latency.back(), latency.size(),
      (latency.empty() ? 0.0 : latency.back()) / 1000 + 1);
  std::printf("  live-state writes: %.2f a second a station (at most 1)\n",
              writes / wall / kStations);
  return 0;
}
