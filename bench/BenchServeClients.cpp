// Measures what hostile and greedy clients cost the factory view: otpwriter-cli serve on
// a store of its own while (1) 500 connections from 50 addresses send a request's first
// line and then a byte every 2 s, connecting again when cut off, and (2) 50 clients from
// addresses of their own ask for /api/stations as fast as they can. Meanwhile a normal
// client asks for the page's JSON every 100 ms from an address of its own; prints its
// answers' median, 99th percentile and worst time in each case, and how many failed.
//
// usage: bench_serve_clients CLI [SECONDS]

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "store/ProductionStore.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

int Connect(int port, const std::string& from, bool blocking) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
  ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!blocking) ::fcntl(fd, F_SETFL, O_NONBLOCK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 &&
      errno != EINPROGRESS) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// One request on a connection of its own from `from`: whether a 200 came, and in what time.
bool Ask(int port, const std::string& from, double& ms) {
  const auto began = Steady::now();
  const int fd = Connect(port, from, true);
  if (fd < 0) return false;
  timeval wait{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
  const std::string request =
      "GET /api/stations HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
      "\r\nConnection: close\r\n\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string answer;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof(buffer), 0)) > 0;)
    answer.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  ms = std::chrono::duration<double, std::milli>(Steady::now() - began).count();
  return answer.rfind("HTTP/1.1 200", 0) == 0;
}

// The normal client, every 100 ms until `stop`: its times, and how many failed.
void Follow(int port, std::atomic<bool>& stop, std::vector<double>& times, int& failed) {
  while (!stop) {
    double ms = 0;
    if (Ask(port, "127.0.0.1", ms)) {
      times.push_back(ms);
    } else {
      ++failed;
    }
    std::this_thread::sleep_for(100ms);
  }
}

void Print(const char* what, std::vector<double> times, int failed) {
  std::sort(times.begin(), times.end());
  auto at = [&](double q) {
    return times.empty()
               ? 0.0
               : times[std::min(times.size() - 1, static_cast<std::size_t>(q * times.size()))];
  };
  std::printf("%-44s answers %4zu  failed %3d  median %7.1f ms  p99 %7.1f ms  worst %7.1f ms\n",
              what, times.size(), failed, at(0.5), at(0.99), times.empty() ? 0.0 : times.back());
}

// 500 connections that trickle a request, connected again as the server cuts them off.
void Trickle(int port, std::atomic<bool>& stop, long& cut) {
  constexpr int kConnections = 500;
  struct Slow {
    int fd = -1;
    std::string from;
    bool started = false;  // its first line sent
    Steady::time_point next;
  };
  std::vector<Slow> slow(kConnections);
  const std::string first = "GET /api/stations HTTP/1.1\r\n";
  for (int i = 0; i < kConnections; ++i) {
    slow[i].from = "127.0.2." + std::to_string(1 + i / 10);  // 50 addresses, 10 each
    slow[i].fd = Connect(port, slow[i].from, false);
    slow[i].next = Steady::now() + 100ms;
  }
  while (!stop) {
    for (Slow& s : slow) {
      if (Steady::now() < s.next) continue;
      // The first line at once, then a byte of a header every 2 s.
      const char byte = 'X';
      const ssize_t n = s.fd < 0    ? -1
                        : s.started ? ::send(s.fd, &byte, 1, MSG_NOSIGNAL)
                                    : ::send(s.fd, first.data(), first.size(), MSG_NOSIGNAL);
      char sink[512];
      const ssize_t closed = s.fd < 0 ? 0 : ::recv(s.fd, sink, sizeof(sink), MSG_DONTWAIT);
      if (n < 0 || closed == 0) {
        if (s.fd >= 0) {
          ::close(s.fd);
          ++cut;
        }
        s.fd = Connect(port, s.from, false);
        s.started = false;
        s.next = Steady::now() + 100ms;
        continue;
      }
      s.started = true;
      s.next = Steady::now() + 2s;
    }
    std::this_thread::sleep_for(20ms);
  }
  for (Slow& s : slow)
    if (s.fd >= 0) ::close(s.fd);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_serve_clients CLI [SECONDS]\n");
    return 2;
  }
  const std::string cli = argv[1];
  const auto seconds = std::chrono::seconds(argc > 2 ? std::atoi(argv[2]) : 20);
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
  otp::test::TempDir dir;
  const std::string db = (dir / "production.db").string();
  {
    otp::StoreError error;
    if (!otp::ProductionStore::Open(db, error)) {
      std::fprintf(stderr, "%s\n", error.text.c_str());
      return 1;
    }
  }
  otp::test::Process serve(cli, {"--db", db, "--json", "serve", "--listen", "127.0.0.1:0"});
  const std::string url = otp::test::WaitForJsonText(serve, "url");
  if (url.empty()) {
    std::fprintf(stderr, "serve did not start: %s\n", serve.Errors().c_str());
    return 1;
  }
  const int port = std::stoi(url.substr(url.rfind(':') + 1));
  for (int scenario = 0; scenario < 3; ++scenario) {
    std::atomic<bool> stop{false};
    std::vector<double> times;
    int failed = 0;
    long cut = 0;
    std::vector<std::thread> load;
    if (scenario == 1) load.emplace_back([&] { Trickle(port, stop, cut); });
    std::atomic<long> greedy{0};
    if (scenario == 2) {
      for (int i = 0; i < 50; ++i) {
        load.emplace_back([&, i] {
          const std::string from = "127.0.3." + std::to_string(1 + i);
          while (!stop) {
            double ms = 0;
            if (Ask(port, from, ms)) ++greedy;
          }
        });
      }
    }
    std::this_thread::sleep_for(scenario == 1 ? 3s : 500ms);  // the load in place
    std::thread follower([&] { Follow(port, stop, times, failed); });
    std::this_thread::sleep_for(seconds);
    stop = true;
    follower.join();
    for (std::thread& t : load)
      t.join();
    const char* names[] = {"alone", "500 slow connections (a byte every 2 s)",
                           "50 clients as fast as they can"};
    Print(names[scenario], times, failed);
    if (scenario == 1) std::printf("%44s slow connections cut off: %ld\n", "", cut);
    if (scenario == 2)
      std::printf("%44s greedy answers: %ld (%.0f a second)\n", "", greedy.load(),
                  greedy.load() / static_cast<double>(seconds.count()));
  }
  serve.Signal(SIGINT);
  serve.Wait();
  return 0;
}
