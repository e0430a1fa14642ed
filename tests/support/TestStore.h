#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace otp::test {

/// Where a test keeps its production store: an SQLite file in its own folder, or a
/// database of its own on the PostgreSQL server that the test command started
/// (OTP_TEST_POSTGRES), dropped afterwards.
class TestStore {
 public:
  /// False when PostgreSQL was asked for and no server is there.
  bool Make(bool postgres, const TempDir& dir) {
    if (!postgres) {
      location = (dir / "production.db").string();
      return true;
    }
    const char* server = std::getenv("OTP_TEST_POSTGRES");
    if (!server) return false;
    server_ = server;
    database_ = "otp_" + std::to_string(::getpid()) + "_" + std::to_string(std::rand());
    Sql(server_, "CREATE DATABASE " + database_);
    location = server_.substr(0, server_.rfind('/') + 1) + database_;
    return true;
  }
  ~TestStore() {
    if (!database_.empty()) Sql(server_, "DROP DATABASE IF EXISTS " + database_ + " WITH (FORCE)");
  }

  /// Runs `sql` on `database` with psql.
  static void Sql(const std::string& database, const std::string& sql) {
    Process psql("/usr/bin/psql", {database, "-q", "-c", sql});
    EXPECT_EQ(psql.Wait(), 0) << psql.Errors();
  }

  std::string location;

 private:
  std::string server_;
  std::string database_;
};

}  // namespace otp::test
