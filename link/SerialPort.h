#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace otp {

/// Time-out rules that every serial port implementation keeps.
namespace timeouts {
/// Once a read has received a byte, it ends when more than this passes without another.
inline constexpr std::chrono::milliseconds kReadInterval{100};
/// A read of n bytes ends at the latest after n * kReadPerByte + kReadConstant.
inline constexpr std::chrono::milliseconds kReadPerByte{100};
inline constexpr std::chrono::milliseconds kReadConstant{2000};
/// A write of n bytes gives up after n * kWritePerByte + kWriteConstant; what was not sent
/// by then is dropped.
inline constexpr std::chrono::milliseconds kWritePerByte{100};
inline constexpr std::chrono::milliseconds kWriteConstant{100};

inline constexpr std::chrono::milliseconds ReadLimit(std::size_t bytes) {
  return kReadPerByte * static_cast<long long>(bytes) + kReadConstant;
}
inline constexpr std::chrono::milliseconds WriteLimit(std::size_t bytes) {
  return kWritePerByte * static_cast<long long>(bytes) + kWriteConstant;
}
}  // namespace timeouts

/// Bit time of one byte on the line: a start bit, 8 data bits and a stop bit.
inline constexpr int kBitsPerByte = 10;

/// Outcome of a read: `ok` is false when the read call itself failed (the port broke or
/// went away); `count` bytes were received either way.
struct ReadResult {
  bool ok = false;
  std::size_t count = 0;
};

/// An open serial port: 8 data bits, no parity, 1 stop bit, RTS/CTS flow control, DTR
/// asserted, no XON/XOFF, blocking reads and writes under the rules of `timeouts`.
class SerialPort {
 public:
  enum class ConfigResult {
    kOk,
    kInfoUnavailable,  // the port's current settings could not be read
    kSettingRejected,  // the port refused a setting
  };

  virtual ~SerialPort() = default;

  /// Reads the port's settings, then sets the line settings above at `baud` bit/s.
  virtual ConfigResult Configure(std::int32_t baud) = 0;

  /// Reads up to `count` bytes. Returns when all arrived; or, once a byte came, when more
  /// than kReadInterval passes without another; or after ReadLimit(count).
  virtual ReadResult Read(std::uint8_t* buffer, std::size_t count) = 0;
  /// As Read, but gives up after `limit` at the latest (a look for a board that may not
  /// be there). A port that cannot shorten its wait reads as Read does.
  virtual ReadResult ReadWithin(std::uint8_t* buffer, std::size_t count,
                                std::chrono::milliseconds limit) {
    (void)limit;
    return Read(buffer, count);
  }

  /// Writes `count` bytes and returns when they have left the port, or after
  /// WriteLimit(count) with the rest dropped. Returns the number of bytes sent.
  virtual std::size_t Write(const std::uint8_t* data, std::size_t count) = 0;

  /// Discards what waits in the transmit and/or the receive buffer.
  virtual void Purge(bool transmit, bool receive) = 0;

  /// Drives DTR (asserted or not); false when the port has no modem lines.
  virtual bool SetDtr(bool asserted) = 0;
};

/// Opens serial devices.
class SerialPortFactory {
 public:
  virtual ~SerialPortFactory() = default;
  /// Opens `device` exclusively for reading and writing; null when it does not exist, is
  /// held by another program or cannot be accessed.
  virtual std::unique_ptr<SerialPort> Open(const std::string& device) = 0;
  /// Why the last Open on this thread failed, in the system's words; empty when unknown.
  virtual std::string LastOpenError() const { return {}; }
  /// Runs each of `jobs` on a thread of its own, fit to own the ports this factory opens,
  /// and `meanwhile` on the calling thread; returns once all have ended.
  virtual void RunOnThreads(const std::vector<std::function<void()>>& jobs,
                            const std::function<void()>& meanwhile);
};

}  // namespace otp
