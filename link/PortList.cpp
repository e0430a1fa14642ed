#include "link/PortList.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <system_error>

namespace otp {

namespace {

// The first line of a file of the system's, or nothing.
std::string FirstLine(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// What the system says of the adapter behind `device`: its USB device's attributes (a few
// folders above the tty's) and its driver.
void Describe(PortListing& port) {
#ifndef _WIN32
  const std::string name = std::filesystem::path(port.device).filename().string();
  std::error_code ec;
  std::filesystem::path device =
      std::filesystem::canonical("/sys/class/tty/" + name + "/device", ec);
  if (ec) return;
  port.driver = std::filesystem::canonical(device / "driver", ec).filename().string();
  if (ec) port.driver.clear();
  for (std::filesystem::path up = device; !up.empty() && up != up.root_path();
       up = up.parent_path()) {
    if (!std::filesystem::exists(up / "idVendor", ec)) continue;
    port.vendorId = FirstLine(up / "idVendor");
    port.productId = FirstLine(up / "idProduct");
    port.manufacturer = FirstLine(up / "manufacturer");
    port.product = FirstLine(up / "product");
    port.serialNumber = FirstLine(up / "serial");
    break;
  }
#else
  (void)port;
#endif
}

}  // namespace

std::filesystem::path SerialNamesFolder() {
  const char* folder = std::getenv("OTP_SERIAL_DIR");
  return folder && *folder ? std::filesystem::path(folder) : std::filesystem::path("/dev/serial");
}

std::vector<PortListing> ListPorts(const std::vector<std::string>& devices) {
  std::map<std::string, PortListing> ports;  // by the device's own path
  auto portOf = [&](const std::string& device) -> PortListing& {
    PortListing& port = ports[device];
    port.device = device;
    return port;
  };
  for (const std::string& device : devices) {
    std::error_code ec;
    const auto real = std::filesystem::canonical(device, ec);
    portOf(ec ? device : real.string());
  }
  const std::filesystem::path folder = SerialNamesFolder();
  for (const char* kind : {"by-path", "by-id"}) {
    std::error_code ec;
    for (const auto& item : std::filesystem::directory_iterator(folder / kind, ec)) {
      std::error_code resolved;
      const auto device = std::filesystem::canonical(item.path(), resolved);
      if (resolved) continue;  // a link to nothing: its adapter is gone
      PortListing& port = portOf(device.string());
      (std::string(kind) == "by-path" ? port.byPath : port.byId).push_back(item.path().string());
    }
  }
  std::vector<PortListing> listed;
  for (auto& [device, port] : ports) {
    std::sort(port.byPath.begin(), port.byPath.end());
    std::sort(port.byId.begin(), port.byId.end());
    Describe(port);
    listed.push_back(std::move(port));
  }
  return listed;
}

}  // namespace otp
