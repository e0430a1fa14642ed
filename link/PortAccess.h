#pragma once

#include <string>

namespace otp {

/// What decides the hint for a device that this user may not open.
struct PortAccessFacts {
  bool serialPort = false;  // a character device of the tty class
  std::string owner;        // the owning user's name
  std::string group;        // the owning group's name ("" when unknown)
  unsigned mode = 0;        // permission bits
  bool groupMayReadWrite = false;
  bool processInGroup = false;  // this process holds the group already
  bool userInGroup = false;     // the user is a member, but this session began before
  std::string user;             // this user's name
};

/// The hint for `device` with `facts`: a group to join only when the device is a serial
/// port and its group is one meant for serial ports (dialout, uucp, serial); otherwise the
/// owner, group and mode.
std::string PortAccessHintFor(const std::string& device, const PortAccessFacts& facts);

/// When `device` exists but this user may not open it: the hint for it. Empty when the
/// device is missing, open to this user, or the platform grants access another way.
std::string PortAccessHint(const std::string& device);

}  // namespace otp
