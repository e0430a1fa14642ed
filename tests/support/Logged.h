#pragma once

#include <gtest/gtest.h>
#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/Process.h"

namespace otp::test {

/// The attempts of the store at `location` as `log --json` gives them; `made` false for a
/// store that may not be made yet (none is then no failure).
inline std::vector<QJsonObject> LoggedAttempts(const std::string& cli, const std::string& location,
                                               bool made = true) {
  const Ran log = RunToEnd(cli, {"--db", location, "--json", "log"});
  if (made) {
    EXPECT_EQ(log.status, 0) << log.err;
  }
  std::vector<QJsonObject> attempts;
  std::istringstream lines(log.out);
  std::string line;
  while (std::getline(lines, line)) {
    const QJsonObject event = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
    if (event["event"].toString() == "attempt") attempts.push_back(event);
  }
  return attempts;
}

}  // namespace otp::test
