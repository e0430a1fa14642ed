#pragma once

#include "link/SerialPort.h"

namespace otp {

/// Opens serial ports through QSerialPort, used in blocking mode on every platform.
class QtSerialPortFactory final : public SerialPortFactory {
 public:
  std::unique_ptr<SerialPort> Open(const std::string& device) override;
};

}  // namespace otp
