#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "link/SerialPort.h"
#include "sim/TargetBoard.h"
#include "tests/support/TestClock.h"

namespace otp::test {

/// A serial line on virtual time, joined to a simulated board: every byte takes its time
/// on the wire at the configured bit rate in both directions, a write returns when its
/// bytes have left, and reads keep the time-out rules exactly.
class FakeLine final : public SerialPortFactory {
 public:
  FakeLine(TestClock& clock, sim::TargetBoard& board, std::string device = "/dev/ttyFAKE0")
      : clock_(clock), board_(board), device_(std::move(device)) {}

  std::unique_ptr<SerialPort> Open(const std::string& device) override;

  /// Knobs for the open and configure steps.
  bool refuseOpen = false;
  bool modemLines = true;  // false: DTR cannot be driven, as on a pseudo-terminal
  SerialPort::ConfigResult configResult = SerialPort::ConfigResult::kOk;

  /// What happened.
  int opens = 0;
  bool isOpen = false;
  std::int32_t baud = 0;
  std::vector<std::uint8_t> written;  // every byte the host sent
  int purges = 0;
  struct DtrChange {
    std::int64_t atUs;
    bool asserted;
  };
  std::vector<DtrChange> dtr;  // every change of DTR; the board's reset is wired to it
  /// Runs after each write call with the bytes just written.
  std::function<void(const std::uint8_t*, std::size_t)> onWrite;

  TestClock& clock() { return clock_; }
  sim::TargetBoard& board() { return board_; }
  const std::string& device() const { return device_; }
  std::int64_t lineFreeUs = 0;

 private:
  TestClock& clock_;
  sim::TargetBoard& board_;
  std::string device_;
};

}  // namespace otp::test
