#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <sstream>
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
    // Only a server's URL: anything else would name a file in the working folder.
    const char* server = std::getenv("OTP_TEST_POSTGRES");
    if (!server || std::string(server).rfind("postgresql://", 0) != 0) return false;
    server_ = server;
    const std::size_t slash = server_.rfind('/');
    if (slash < std::string("postgresql://").size()) return false;
    // Unique across the processes and the stores of a process.
    static std::atomic<unsigned> made{0};
    database_ = "otp_" + std::to_string(::getpid()) + "_" + std::to_string(++made) + "_" +
                std::to_string(std::random_device{}() % 100000);
    Sql(server_, "CREATE DATABASE " + database_);
    location = server_.substr(0, slash + 1) + database_;
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

/// A PostgreSQL server of a test's own (the script the test command uses), for tests that
/// stop and start it while the other tests go on with theirs; removed at the end.
class OwnPostgres {
 public:
  /// False when the server cannot be started.
  bool Start() {
    // A port of this process's; another one when something holds it (these ports are
    // also the system's ephemeral ones, which any connection may be given).
    for (int attempt = 0; attempt < 5; ++attempt) {
      port_ = std::to_string(55000 + (::getpid() + 211 * attempt) % 1000);
      Process start(script_, {"start", port_});
      if (start.Wait() != 0) continue;
      std::istringstream started(start.Output());
      started >> folder_ >> location;
      return !location.empty();
    }
    return false;
  }
  /// Stops the server (fast: its sessions end at once); its data stays.
  bool Pause() { return Process(script_, {"pause", folder_}).Wait() == 0; }
  bool Resume() { return Process(script_, {"resume", folder_, port_}).Wait() == 0; }
  ~OwnPostgres() {
    if (!folder_.empty()) Process(script_, {"stop", folder_}).Wait();
  }

  std::string location;

 private:
  std::string script_ = std::string(OTP_SOURCE_DIR) + "/scripts/postgres-for-tests.sh";
  std::string port_;
  std::string folder_;
};

}  // namespace otp::test
