#pragma once

#include <string>

namespace otp {

/// When `device` exists but this user may not open it: a hint that names the group the
/// device belongs to and how to join it. Empty when the device is missing, open to this
/// user, or the platform grants access another way.
std::string PortAccessHint(const std::string& device);

}  // namespace otp
