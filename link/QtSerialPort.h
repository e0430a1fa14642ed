#pragma once

#include "link/SerialPort.h"

namespace otp {

/// Opens serial ports through QSerialPort, used in blocking mode on every platform.
class QtSerialPortFactory final : public SerialPortFactory {
 public:
  std::unique_ptr<SerialPort> Open(const std::string& device) override;
  std::string LastOpenError() const override;
  /// QThreads: a QSerialPort needs a thread that Qt started.
  void RunOnThreads(const std::vector<std::function<void()>>& jobs,
                    const std::function<void()>& meanwhile) override;
};

}  // namespace otp
