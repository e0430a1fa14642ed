#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace otp {

/// A serial port as this computer names it: its device, the names that stay the same
/// from one boot to the next, and what the system says of the adapter.
struct PortListing {
  std::string device;               // "/dev/ttyUSB0": given in the order adapters are found
  std::vector<std::string> byPath;  // "/dev/serial/by-path/...": the place on the hub
  std::vector<std::string> byId;    // "/dev/serial/by-id/...": the adapter's own serial number
  std::string vendorId;             // USB, four hexadecimal digits
  std::string productId;
  std::string manufacturer;
  std::string product;
  std::string serialNumber;
  std::string driver;
  /// The name a station keeps: the place on the hub, else the adapter's own, else the
  /// device.
  const std::string& Stable() const {
    return !byPath.empty() ? byPath.front() : !byId.empty() ? byId.front() : device;
  }
};

/// The folder of the stable names: "/dev/serial", unless the environment variable
/// OTP_SERIAL_DIR names another (tests).
std::filesystem::path SerialNamesFolder();

/// Every port that has a stable name, and each of `devices` (those the system lists),
/// with what is known of it; devices in the order of their names.
std::vector<PortListing> ListPorts(const std::vector<std::string>& devices = {});

}  // namespace otp
