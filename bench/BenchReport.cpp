// Measures the batch report and log on a year of a busy station: a store of one million
// attempts (two stations of four ports, 2740 units a day from 06:00 to 22:00, about 2.5 %
// failed and 0.5 % interrupted), filled in bulk, on SQLite and, given its address, on
// PostgreSQL:
//  - report of one day (PDF), of the whole year (PDF and HTML): wall time and peak memory;
//  - log --since of one day: wall time; log of the whole year as JSON and as CSV: wall
//    time and peak memory (rows are streamed: at most 64 MiB).
// Each command runs three times; the median is shown.
//
// usage: bench_report CLI [postgresql://USER@HOST:PORT/DB] [--units N] [--keep FILE]
//   --keep FILE: fill the SQLite store FILE and stop (a store to look at).

#include <QCoreApplication>
#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimeZone>
#include <QUrl>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

#include "store/ProductionStore.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace {

using namespace otp;
using Steady = std::chrono::steady_clock;

constexpr int kDays = 365;
const char* const kReasons[] = {"No.016 Verify error", "No.014 Blank check error",
                                "No.018 Program error", "No.003 Timeout error",
                                "the part already holds part of the image"};

QString Text(const QString& text) {
  return "'" + QString(text).replace("'", "''") + "'";
}

// Fills `database` (opened by Qt SQL, the schema made) with `units` attempts and their
// serial numbers, in statements of a thousand rows.
bool Fill(QSqlDatabase& database, int units) {
  std::mt19937 random(2026);
  std::uniform_real_distribution<double> chance(0, 1);
  const QDateTime year(QDate(2026, 1, 1), QTime(0, 0), QTimeZone::utc());
  const int perDay = (units + kDays - 1) / kDays;
  QString attempts, serials;
  int rows = 0;
  long long serial = 100000;
  long long released = -1;  // a number given back, issued again next
  auto flush = [&]() {
    if (rows == 0) return true;
    QSqlQuery query(database);
    const bool ok =
        query.exec(
            "INSERT INTO otp_attempts (started, ended, station, port, device, model, clock, "
            "image, crc32, serial, serial_state, result, report_id, report_text, "
            "first_difference, seconds, unit_id, counter, job, job_sum, verdict, "
            "failed_block) VALUES " +
            attempts) &&
        (serials.isEmpty() ||
         query.exec("INSERT INTO otp_serials (counter, number, state, station, changed, unit_id) "
                    "VALUES " +
                    serials));
    if (!ok) std::fprintf(stderr, "fill: %s\n", qPrintable(query.lastError().text()));
    attempts.clear();
    serials.clear();
    rows = 0;
    return ok;
  };
  if (!database.transaction()) return false;
  for (int i = 0; i < units; ++i) {
    const int day = i / perDay;
    const int k = i % perDay;
    const QDateTime started =
        year.addDays(day).addSecs(6 * 3600 + static_cast<qint64>(k) * 16 * 3600 / perDay);
    const int port = k % 8;
    const QString station = port < 4 ? "LINE-A" : "LINE-B";
    const QString device = QString("/dev/ttyUSB%1").arg(port % 4);
    const int month = started.date().month();
    const double roll = chance(random);
    // The third port of LINE-B fails twice as often: a worn contact.
    const double failing = port == 6 ? 0.05 : 0.025;
    const QString result =
        roll < failing ? "fail" : (roll < failing + 0.005 ? "interrupted" : "pass");
    long long number = serial;
    if (released >= 0) {
      number = released;
      released = -1;
    } else {
      ++serial;
    }
    QString state = "used", verdict = "pass", reason = "", reportId = "NULL", difference = "NULL",
            block = "NULL";
    if (result == "fail") {
      state = "spoiled";
      verdict = "verify-failed";
      const int which = static_cast<int>(chance(random) * 5);
      reason = kReasons[which];
      reportId = QString::number(which + 10);
      // Most failures in the blocks of one weak area, the rest anywhere.
      const int area = chance(random) < 0.4 ? 0x12 + static_cast<int>(chance(random) * 3)
                                            : static_cast<int>(chance(random) * 64);
      const int address = 0xC000 + area * 256 + static_cast<int>(chance(random) * 256);
      (which == 2 ? block : difference) = QString::number(which == 2 ? address & ~0xFF : address);
    } else if (result == "interrupted") {
      state = "released";
      verdict = "stopped";
      reason = "the station stopped during the unit";
      released = number;
    }
    const QString unit = QString("bench-%1").arg(i);
    attempts += QString(rows ? "," : "") + "(" + Text(started.toString(Qt::ISODate)) + "," +
                Text(started.addSecs(19).toString(Qt::ISODate)) + "," + Text(station) + "," +
                Text(device) + "," + Text(device) + ",'KT47C150','8MHz'," +
                Text(QString("pump-1.%1.mhx").arg(month)) + "," +
                QString::number(0x5A000000 + month) + "," + QString::number(number) + "," +
                Text(state) + "," + Text(result) + "," + reportId + "," + Text(reason) + "," +
                difference + ",19.0," + Text(unit) + ",'serial'," +
                Text(QString("PUMP-%1").arg(month, 2, 10, QChar('0'))) + "," +
                Text(QString("%1").arg(0x3C00 + month, 8, 16, QChar('0'))) + "," + Text(verdict) +
                "," + block + ")";
    if (state != "released") {
      serials += QString(serials.isEmpty() ? "" : ",") + "('serial'," + QString::number(number) +
                 "," + Text(state) + "," + Text(station) + "," +
                 Text(started.addSecs(19).toString(Qt::ISODate)) + "," + Text(unit) + ")";
    }
    if (++rows == 1000 && !flush()) return false;
    if (i % 100000 == 99999) {
      if (!database.commit() || !database.transaction()) return false;
    }
  }
  QSqlQuery counter(database);
  return flush() &&
         counter.exec(QString("INSERT INTO otp_counters (name, next_number, step, start_number) "
                              "VALUES ('serial', %1, 1, 100000)")
                          .arg(serial)) &&
         database.commit();
}

struct Measured {
  double seconds;
  long rssKiB;
  int status;
  std::string errors;
};

// The median of three runs of the command line.
Measured Median(const std::string& cli, const std::vector<std::string>& args) {
  std::vector<Measured> runs;
  for (int i = 0; i < 3; ++i) {
    const auto began = Steady::now();
    test::Process run(cli, args);
    const int status = run.Wait();
    runs.push_back({std::chrono::duration<double>(Steady::now() - began).count(), run.maxRssKiB(),
                    status, run.Errors()});
  }
  std::sort(runs.begin(), runs.end(),
            [](const auto& a, const auto& b) { return a.seconds < b.seconds; });
  return runs[1];
}

bool Measure(const std::string& cli, const std::string& location, const test::TempDir& dir,
             const char* name) {
  const std::vector<std::string> day = {"--since", "2026-07-15", "--until", "2026-07-16"};
  struct Case {
    const char* what;
    std::vector<std::string> args;
    bool year;
  } cases[] = {
      {"report of one day (PDF)", {"report", (dir / "day.pdf").string()}, false},
      {"report of the year (PDF)", {"report", (dir / "year.pdf").string()}, true},
      {"report of the year (HTML)", {"report", (dir / "year.html").string()}, true},
      {"log --since of one day", {"log"}, false},
      {"log of the year (JSON)", {"--json", "log"}, true},
      {"log of the year (CSV)", {"log", "--csv", (dir / "year.csv").string()}, true},
  };
  std::printf("\n%s\n", name);
  bool ok = true;
  for (Case& c : cases) {
    c.args.insert(c.args.end(), {"--db", location});
    if (!c.year) c.args.insert(c.args.end(), day.begin(), day.end());
    const Measured m = Median(cli, c.args);
    std::printf("  %-28s %7.3f s   peak memory %6.1f MiB\n", c.what, m.seconds, m.rssKiB / 1024.0);
    if (m.status != 0) {
      std::printf("    exit %d: %s\n", m.status, m.errors.c_str());
      ok = false;
    }
  }
  return ok;
}

bool Make(const std::string& location, const QString& driver, const QString& connection, int units,
          const std::function<void(QSqlDatabase&)>& address) {
  StoreError error;
  if (!ProductionStore::Open(location, error)) {
    std::fprintf(stderr, "%s\n", error.text.c_str());
    return false;
  }
  bool ok = false;
  {
    QSqlDatabase database = QSqlDatabase::addDatabase(driver, connection);
    address(database);
    if (!database.open()) {
      std::fprintf(stderr, "%s\n", qPrintable(database.lastError().text()));
      return false;
    }
    const auto began = Steady::now();
    ok = Fill(database, units);
    if (ok && driver == "QPSQL") {
      // As the server's autovacuum would have done over the year.
      QSqlQuery(database).exec("VACUUM ANALYZE");
    }
    std::printf("filled %d attempts in %.1f s\n", units,
                std::chrono::duration<double>(Steady::now() - began).count());
    database.close();
  }
  QSqlDatabase::removeDatabase(connection);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: %s CLI [postgresql://USER@HOST:PORT/DB] [--units N] [--keep FILE]\n",
                 argv[0]);
    return 64;
  }
  const std::string cli = argv[1];
  std::string postgres, keep;
  int units = 1000000;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--units" && i + 1 < argc)
      units = std::atoi(argv[++i]);
    else if (arg == "--keep" && i + 1 < argc)
      keep = argv[++i];
    else
      postgres = arg;
  }
  test::TempDir dir;
  const std::string file = keep.empty() ? (dir / "production.db").string() : keep;
  auto sqlite = [&](QSqlDatabase& database) {
    database.setDatabaseName(QString::fromStdString(file));
  };
  if (!Make(file, "QSQLITE", "bench-sqlite", units, sqlite)) return 1;
  if (!keep.empty()) return 0;
  bool ok = Measure(cli, file, dir, "SQLite");
  if (!postgres.empty()) {
    const std::string name = "otp_bench_" + std::to_string(::getpid());
    test::Process create("/usr/bin/psql", {postgres, "-q", "-c", "CREATE DATABASE " + name});
    if (create.Wait() != 0) {
      std::fprintf(stderr, "%s", create.Errors().c_str());
      return 1;
    }
    const std::string location = postgres.substr(0, postgres.rfind('/') + 1) + name;
    const QUrl url(QString::fromStdString(location));
    auto server = [&](QSqlDatabase& database) {
      database.setHostName(url.host());
      database.setPort(url.port(5432));
      database.setUserName(url.userName());
      database.setDatabaseName(QString::fromStdString(name));
    };
    ok = Make(location, "QPSQL", "bench-postgres", units, server) &&
         Measure(cli, location, dir, "PostgreSQL") && ok;
    test::Process drop("/usr/bin/psql",
                       {postgres, "-q", "-c", "DROP DATABASE " + name + " WITH (FORCE)"});
    drop.Wait();
  }
  return ok ? 0 : 1;
}
