// ports and info: what the computer offers, and what a file holds, without a board.

#include <QSerialPortInfo>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "cli/Commands.h"
#include "cli/Context.h"
#include "core/Texts.h"
#include "core/Utf8Path.h"

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
  int listed = 0;
  auto show = [&](const std::string& device, const std::string& com, const QSerialPortInfo* info) {
    ++listed;
    Json event("port");
    event.Add("device", device);
    com.empty() ? event.AddNull("com") : event.Add("com", com);
    std::string line = device + (com.empty() ? "" : "  " + com);
    if (info) {
      const std::string description = info->description().toStdString();
      const std::string maker = info->manufacturer().toStdString();
      const std::string serial = info->serialNumber().toStdString();
      event.Add("description", description).Add("manufacturer", maker);
      if (info->hasVendorIdentifier() && info->hasProductIdentifier()) {
        const std::string id =
            Hex(info->vendorIdentifier(), 4) + ":" + Hex(info->productIdentifier(), 4);
        event.Add("usb", id);
        line += "  USB " + id;
      } else {
        event.AddNull("usb");
      }
      event.Add("serial", serial);
      if (!description.empty()) line += "  " + description;
      if (!maker.empty()) line += " (" + maker + ")";
      if (!serial.empty()) line += "  " + context.T("serial %1", {serial});
      // USB adapters whose driver has a latency timer hold short replies back for it.
      std::ifstream timer("/sys/class/tty/" + info->portName().toStdString() +
                          "/device/latency_timer");
      int ms = -1;
      if (timer >> ms) {
        event.Add("latencyMs", ms);
        line += "  " + context.T("latency %1 ms", {std::to_string(ms)});
      } else {
        event.AddNull("latencyMs");
      }
      event.Add("present", true);
    } else {
      const bool present = std::filesystem::exists(PathFromUtf8(device));
      event.Add("present", present);
      line += "  " + (present ? context.T("(named in the settings file)")
                              : context.T("(named in the settings file; absent)"));
    }
    context.console.Emit(event);
    context.console.Say(line);
  };
  std::vector<std::string> shown;
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
    const std::string device = info.systemLocation().toStdString();
    shown.push_back(canonical(device));
    show(device, comFor(device), &info);
  }
  for (const auto& [name, device] : mapped) {
    if (std::find(shown.begin(), shown.end(), canonical(device)) != shown.end()) continue;
    shown.push_back(canonical(device));
    show(device, name, nullptr);
  }
  if (listed == 0) context.console.Say(context.T("no serial ports"));
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
