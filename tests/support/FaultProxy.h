#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace otp::test {

/// A TCP proxy between a client and a server on this computer that misbehaves when told:
/// it passes bytes, stalls (holds every byte, both ways, its sockets open: to the client
/// the server is as good as gone without a word, a half-open connection), or drops every
/// connection at once.
class FaultProxy {
 public:
  enum class Mode { kPass, kStall };

  /// Listens on a free port of 127.0.0.1 and forwards to 127.0.0.1:`serverPort`.
  explicit FaultProxy(int serverPort) : serverPort_(serverPort) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::listen(listener_, 16);
    socklen_t length = sizeof(address);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    accepting_ = std::thread([this] { Accept(); });
  }
  ~FaultProxy() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    accepting_.join();
    Drop();
    for (std::thread& pump : pumps_)
      pump.join();
  }
  FaultProxy(const FaultProxy&) = delete;
  FaultProxy& operator=(const FaultProxy&) = delete;

  int port() const { return port_; }
  void Set(Mode mode) { mode_ = mode; }
  /// Closes every connection now, as a server's restart or a cut cable would.
  void Drop() {
    const std::lock_guard lock(mutex_);
    for (const auto& [client, server] : pairs_) {
      ::shutdown(client, SHUT_RDWR);
      ::shutdown(server, SHUT_RDWR);
    }
  }

 private:
  void Accept() {
    while (!stop_) {
      const int client = ::accept(listener_, nullptr, nullptr);
      if (client < 0) continue;
      const int server = ::socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      address.sin_port = htons(static_cast<std::uint16_t>(serverPort_));
      if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(client);
        ::close(server);
        continue;
      }
      const std::lock_guard lock(mutex_);
      pairs_.emplace_back(client, server);
      pumps_.emplace_back([this, client, server] { Pump(client, server); });
    }
  }
  // Moves bytes both ways while passing; holds them while stalled.
  void Pump(int client, int server) {
    char buffer[16384];
    while (!stop_) {
      if (mode_ == Mode::kStall) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      if (::poll(fds, 2, 50) <= 0) continue;
      bool closed = false;
      for (int i = 0; i < 2 && !closed; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t n = ::read(fds[i].fd, buffer, sizeof(buffer));
        if (n <= 0 || ::write(fds[1 - i].fd, buffer, static_cast<std::size_t>(n)) != n) {
          closed = true;
        }
      }
      if (closed) break;
    }
    ::close(client);
    ::close(server);
  }

  int serverPort_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<Mode> mode_{Mode::kPass};
  std::mutex mutex_;
  std::vector<std::pair<int, int>> pairs_;
  std::vector<std::thread> pumps_;
  std::thread accepting_;
};

}  // namespace otp::test
