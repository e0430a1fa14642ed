#pragma once

#include <gtest/gtest.h>

#include <string>

#include "sim/TargetBoard.h"

namespace otp::test {

/// A fault rule of the simulated board, as the program's --fault option takes it.
inline sim::Fault Fault(const std::string& rule) {
  std::string error;
  const auto fault = sim::ParseFault(rule, &error);
  EXPECT_TRUE(fault.has_value()) << error;
  return fault.value_or(sim::Fault{});
}

}  // namespace otp::test
