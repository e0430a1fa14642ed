// Measures a station through a PostgreSQL outage: produce --start auto on 4 simulated
// fixtures (an operator who takes 0.3 to 0.6 s to change a board) against a server of its
// own; after a warm-up and a minute of work the server stops for a minute, then starts
// again. Prints the units passed in the minute before the outage and in the minute of it,
// and checks, once the server is back, that every unit is recorded passed with its number
// used, and that no number is on two parts.
//
// usage: bench_outage CLI [OUTAGE_SECONDS]

#include <signal.h>

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <set>
#include <sstream>
#include <thread>

#include "sim/PtyBoard.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace {

using namespace otp;
using Steady = std::chrono::steady_clock;

const std::string kScript = std::string(OTP_SOURCE_DIR) + "/scripts/postgres-for-tests.sh";

struct Fixture {
  std::unique_ptr<sim::TargetBoard> board;
  std::unique_ptr<sim::PtyBoard> pty;
  std::string link;
};

int UnitsSoFar(const std::vector<std::unique_ptr<Fixture>>& fixtures) {
  int units = 0;
  for (const auto& f : fixtures)
    units += f->pty->WithBoard([](sim::TargetBoard& b) { return b.boardsPutIn; });
  return units;
}

// The attempts of the store as log gives them; nothing while the store cannot be read.
std::vector<QJsonObject> Logged(const std::string& cli, const std::string& db) {
  test::Process log(cli, {"--db", db, "--json", "log"});
  std::vector<QJsonObject> attempts;
  if (log.Wait() != 0) return attempts;
  std::istringstream lines(log.Output());
  std::string line;
  while (std::getline(lines, line)) {
    const QJsonObject event = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
    if (event["event"].toString() == "attempt") attempts.push_back(event);
  }
  return attempts;
}

// The units that passed, as the station told them.
int PassedSoFar(const test::Process& produce) {
  int units = 0;
  std::istringstream lines(produce.Output());
  std::string line;
  while (std::getline(lines, line))
    units += line.find("\"event\":\"unit\"") != std::string::npos &&
             line.find("\"outcome\":\"pass\"") != std::string::npos;
  return units;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_outage CLI [OUTAGE_SECONDS]\n");
    return 2;
  }
  const std::string cli = argv[1];
  const int outage = argc > 2 ? std::atoi(argv[2]) : 60;
  const std::string port = std::to_string(56000 + ::getpid() % 1000);
  test::Process start(kScript, {"start", port});
  if (start.Wait() != 0) {
    std::fprintf(stderr, "no PostgreSQL server: %s\n", start.Errors().c_str());
    return 1;
  }
  std::istringstream started(start.Output());
  std::string folder, db;
  started >> folder >> db;
  struct Server {
    std::string folder;
    ~Server() { test::Process(kScript, {"stop", folder}).Wait(); }
  } server{folder};

  test::TempDir dir;
  dir.Write("m_otp.150", std::string(600, 'm'));
  std::string records;
  for (std::uint32_t block : {0xC000u, 0xC100u, 0xC200u, 0xD000u, 0xE800u, 0xF000u, 0xFF00u}) {
    char line[80];
    std::snprintf(line, sizeof(line), "S107%04X5AA5C33C", block);
    const unsigned sum = 7 + (block >> 8) + (block & 0xFF) + 0x5A + 0xA5 + 0xC3 + 0x3C;
    std::snprintf(line + 16, sizeof(line) - 16, "%02X\n", (~sum) & 0xFF);
    records += line;
  }
  dir.Write("app.mhx", records);
  std::vector<std::unique_ptr<Fixture>> fixtures;
  for (int i = 0; i < 4; ++i) {
    auto f = std::make_unique<Fixture>();
    f->board = std::make_unique<sim::TargetBoard>();
    f->board->SetFixture({true, 300'000, 600'000, static_cast<std::uint32_t>(i + 1), 200'000});
    f->link = (dir / ("tty" + std::to_string(i))).string();
    f->pty = std::make_unique<sim::PtyBoard>(*f->board, sim::PtyBoard::Options{f->link, false});
    if (!f->pty->Start(nullptr)) return 1;
    fixtures.push_back(std::move(f));
  }
  std::vector<std::string> args = {"--settings",
                                   dir.Write("none.txt", "").string(),
                                   "--monitor-dir",
                                   dir.path().string(),
                                   "-m",
                                   "KT47C150",
                                   "-c",
                                   "8MHz",
                                   "--db",
                                   db,
                                   "--serial",
                                   "0xFFF0:be32",
                                   "--start",
                                   "auto",
                                   "--json"};
  for (const auto& f : fixtures)
    args.insert(args.end(), {"-p", f->link});
  args.insert(args.end(), {"produce", (dir / "app.mhx").string()});
  test::Process produce(cli, args);

  auto wait = [](int seconds) { std::this_thread::sleep_for(std::chrono::seconds(seconds)); };
  wait(20);  // the station learns its pace and fills its block
  const int beforeStart = UnitsSoFar(fixtures);
  wait(outage);
  const int outageStart = UnitsSoFar(fixtures);
  test::Process(kScript, {"pause", folder}).Wait();
  wait(outage);
  const int outageEnd = UnitsSoFar(fixtures);
  test::Process(kScript, {"resume", folder, port}).Wait();
  // How soon the units of the outage are in the store.
  const auto back = Steady::now();
  const int passedByThen = PassedSoFar(produce);
  double drained = -1;
  while (Steady::now() - back < std::chrono::seconds(120)) {
    if (static_cast<int>(Logged(cli, db).size()) >= passedByThen) {
      drained = std::chrono::duration<double>(Steady::now() - back).count();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  wait(5);
  // The boards stay out; the last units end and their records reach the store.
  for (const auto& f : fixtures)
    f->pty->WithBoard([](sim::TargetBoard& b) {
      b.SetFixture({true, 0, 0, 1, 200'000});
      return 0;
    });
  wait(3);
  const int units = PassedSoFar(produce);
  std::vector<QJsonObject> attempts;
  for (int i = 0; i < 120 && static_cast<int>(attempts.size()) < units; ++i) {
    attempts = Logged(cli, db);
    wait(1);
  }
  produce.Signal(SIGINT);
  const int status = produce.Wait();
  attempts = Logged(cli, db);
  int passed = 0, used = 0;
  std::set<long long> numbers;
  bool repeated = false;
  for (const QJsonObject& a : attempts) {
    passed += a["result"].toString() == "pass";
    used += a["serialState"].toString() == "used";
    repeated |= !numbers.insert(a["serial"].toInteger()).second;
  }
  const int inWindowBefore = outageStart - beforeStart;
  const int inOutage = outageEnd - outageStart;
  std::printf("4 ports, auto start, operator 0.3 to 0.6 s, PostgreSQL stopped for %d s:\n", outage);
  std::printf("  units in the %d s before the outage: %d\n", outage, inWindowBefore);
  std::printf("  units in the %d s of the outage:     %d (%.1f %%, at least 90 %%)\n", outage,
              inOutage, inWindowBefore ? 100.0 * inOutage / inWindowBefore : 0.0);
  std::printf("  units burned: %d; recorded: %zu, passed %d, numbers used %d, a number twice: %s\n",
              units, attempts.size(), passed, used, repeated ? "YES" : "no");
  std::printf(
      "  the %d units passed by then in the store %.1f s after the server was back "
      "(log read every 0.5 s); produce exit %d\n",
      passedByThen, drained, status);
  const bool ok = inOutage * 10 >= inWindowBefore * 9 && !repeated &&
                  static_cast<int>(attempts.size()) == units && passed == units && used == units;
  std::printf("%s\n", ok ? "ok" : "NOT MET");
  return ok ? 0 : 1;
}
