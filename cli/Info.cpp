// ports and info: what the computer offers, and what a file holds, without a board.

#include <QSerialPortInfo>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include "cli/Commands.h"
#include "cli/Context.h"
#include "core/Texts.h"
#include "core/Utf8Path.h"
#include "link/PortList.h"

namespace otp::cli {

// ports: every serial port the system knows, and every name of the settings file.
int RunPorts(Context& context) {
  const WriterSetup& setup = context.setup;
  const auto mapped = ReadPortsSection(setup.settingsFile());
  auto canonical = [](const std::string& path) {
    std::error_code ec;
    const auto resolved = std::filesystem::canonical(PathFromUtf8(path), ec);
    return ec ? path : Utf8FromPath(resolved);
  };
  // The COM name that leads to `device`: an entry of the settings file, else COMn for
  // /dev/ttyUSB(n-1) when the file does not give COMn another device.
  auto comFor = [&](const std::string& device) -> std::string {
    for (const auto& [name, path] : mapped) {
      if (canonical(path) == canonical(device)) return name;
    }
    for (int n = 1; n <= 256; ++n) {
      const std::string name = ComName(n);
      if (setup.Device(name) == device) return name;
    }
    return {};
  };
  // Every port the system lists, those the settings file names, and those with a stable
  // name, each once, with the names that stay the same after a reboot.
  std::vector<std::string> devices;
  std::map<std::string, std::string> given;  // by the device's own path: the name shown
  std::map<std::string, QSerialPortInfo> described;
  const QList<QSerialPortInfo> available = QSerialPortInfo::availablePorts();
  for (const QSerialPortInfo& info : available) {
    const std::string device = info.systemLocation().toStdString();
    devices.push_back(device);
    given.emplace(canonical(device), device);
    described.emplace(canonical(device), info);
  }
  for (const auto& [name, device] : mapped) {
    devices.push_back(device);
    given.emplace(canonical(device), device);
  }
  const std::vector<PortListing> listings = ListPorts(devices);
  for (const PortListing& port : listings) {
    const auto shownAs = given.find(port.device);
    const std::string device = shownAs != given.end() ? shownAs->second : port.device;
    const auto info = described.find(port.device);
    const bool present = info != described.end() || std::filesystem::exists(PathFromUtf8(device));
    const std::string com = comFor(device);
    Json event("port");
    event.Add("device", device);
    com.empty() ? event.AddNull("com") : event.Add("com", com);
    std::string line = device + (com.empty() ? "" : "  " + com);
    // What the adapter is: the system's description, else what its USB device says.
    const std::string description =
        info != described.end() ? info->second.description().toStdString() : port.product;
    const std::string maker =
        info != described.end() ? info->second.manufacturer().toStdString() : port.manufacturer;
    const std::string serial =
        info != described.end() ? info->second.serialNumber().toStdString() : port.serialNumber;
    std::string usb;
    if (info != described.end() && info->second.hasVendorIdentifier() &&
        info->second.hasProductIdentifier()) {
      usb =
          Hex(info->second.vendorIdentifier(), 4) + ":" + Hex(info->second.productIdentifier(), 4);
    } else if (!port.vendorId.empty()) {
      usb = port.vendorId + ":" + port.productId;
    }
    usb.empty() ? event.AddNull("usb") : event.Add("usb", usb);
    event.Add("description", description).Add("manufacturer", maker).Add("serial", serial);
    port.driver.empty() ? event.AddNull("driver") : event.Add("driver", port.driver);
    if (!usb.empty()) line += "  USB " + usb;
    if (!description.empty()) line += "  " + description;
    if (!maker.empty()) line += " (" + maker + ")";
    if (!serial.empty()) line += "  " + context.T("serial %1", {serial});
    if (!port.driver.empty()) line += "  " + context.T("driver %1", {port.driver});
    // USB adapters whose driver has a latency timer hold short replies back for it.
    std::ifstream timer("/sys/class/tty/" + PathFromUtf8(port.device).filename().string() +
                        "/device/latency_timer");
    int ms = -1;
    if (timer >> ms) {
      event.Add("latencyMs", ms);
      line += "  " + context.T("latency %1 ms", {std::to_string(ms)});
    } else {
      event.AddNull("latencyMs");
    }
    if (info == described.end() && !mapped.empty() &&
        std::any_of(mapped.begin(), mapped.end(),
                    [&](const auto& entry) { return canonical(entry.second) == port.device; })) {
      line += "  " + (present ? context.T("(named in the settings file)")
                              : context.T("(named in the settings file; absent)"));
    }
    event.Add("present", present);
    auto list = [](const std::vector<std::string>& names) {
      std::string json = "[";
      for (const std::string& name : names)
        json += (json.size() > 1 ? "," : "") + JsonString(name);
      return json + "]";
    };
    event.AddRaw("byPath", list(port.byPath)).AddRaw("byId", list(port.byId));
    event.Add("stable", port.Stable());
    context.console.Emit(event);
    context.console.Say(line);
    // The names to give a station: they survive a reboot and a change of USB order.
    for (const std::string& name : port.byPath)
      context.console.Say("    " + PadTo(context.T("hub place"), 12) + name);
    for (const std::string& name : port.byId)
      context.console.Say("    " + PadTo(context.T("adapter"), 12) + name);
  }
  if (listings.empty()) context.console.Say(context.T("no serial ports"));
  return kExitOk;
}

int RunInfo(Context& context) {
  const auto loaded = context.LoadImage(context.options.arguments.front(), true);
  if (!loaded) return kExitFile;
  const auto start = static_cast<std::uint32_t>(context.model().startAddr);
  const auto end = static_cast<std::uint32_t>(context.model().endAddr);
  const ImageSummary summary =
      Summarize(loaded->result, loaded->coverage, loaded->image, start, end);
  const bool binary = loaded->result.format == ImageFormat::kBinary;
  Json event("info");
  event.Add("file", loaded->file).Add("format", ImageFormatName(loaded->result.format));
  event.Add("model", context.model().model).Add("start", start).Add("end", end);
  binary ? event.AddNull("lines") : event.Add("lines", summary.lines);
  event.Add("dataBytes", summary.dataBytes);
  event.Add("nonBlankBlocks", summary.nonBlankBlocks).Add("blocks", (end - start + 1) / 256);
  summary.lowest ? event.Add("lowest", *summary.lowest) : event.AddNull("lowest");
  summary.highest ? event.Add("highest", *summary.highest) : event.AddNull("highest");
  event.Add("crc32", static_cast<long long>(summary.crc32)).Add("sum", unsigned{summary.sum});
  context.console.Emit(event);
  auto row = [&context](const std::string& name, const std::string& value) {
    context.console.Say(PadTo(name, 16) + value);
  };
  row(context.T("file"), loaded->file);
  row(context.T("format"), ImageFormatName(loaded->result.format));
  row(context.T("model"), context.T("%1, OTP area %2H-%3H", {std::string(context.model().model),
                                                             Hex(start, 4), Hex(end, 4)}));
  if (binary) {
    row(context.T("bytes"), std::to_string(summary.dataBytes));
  } else {
    row(context.T("lines"), std::to_string(summary.lines));
    row(context.T("data bytes"), std::to_string(summary.dataBytes));
  }
  row(context.T("blocks"),
      context.T("%1 of %2 not blank",
                {std::to_string(summary.nonBlankBlocks), std::to_string((end - start + 1) / 256)}));
  row(context.T("lowest"), summary.lowest ? Hex(*summary.lowest, 4) + "H" : "-");
  row(context.T("highest"), summary.highest ? Hex(*summary.highest, 4) + "H" : "-");
  row("CRC-32", "0x" + Hex(summary.crc32, 8));
  row(context.T("sum"), "0x" + Hex(summary.sum, 2));
  return kExitOk;
}

}  // namespace otp::cli
