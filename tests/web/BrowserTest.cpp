#include <gtest/gtest.h>

#include <httplib.h>
#include <signal.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <filesystem>
#include <functional>
#include <thread>

#include "sim/PtyBoard.h"
#include "tests/support/Faults.h"
#include "tests/support/Process.h"
#include "tests/support/SRecords.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestStore.h"

namespace otp {
namespace {

using namespace std::chrono_literals;

constexpr const char* kChromium = "/usr/bin/chromium";

// The page as Debian's headless Chromium leaves it after `seconds` of its own time, the
// script having run (its DOM), or a picture of it.
std::string Browse(const test::TempDir& dir, const std::string& url, const std::string& language,
                   const std::string& screenshot = {}) {
  std::vector<std::string> args = {"--headless",
                                   "--no-sandbox",
                                   "--disable-gpu",
                                   "--disable-dev-shm-usage",
                                   "--disable-background-networking",
                                   "--disable-component-update",
                                   "--disable-sync",
                                   "--disable-quic",
                                   "--no-first-run",
                                   "--user-data-dir=" + (dir / "chromium").string(),
                                   "--lang=" + language,
                                   "--accept-lang=" + language,
                                   "--virtual-time-budget=4000",
                                   "--window-size=1280,800"};
  if (screenshot.empty()) {
    args.push_back("--dump-dom");
  } else {
    args.push_back("--screenshot=" + screenshot);
  }
  args.push_back(url);
  test::Process chromium(kChromium, args);
  EXPECT_EQ(chromium.WaitAtMost(60s), 0) << chromium.Errors();
  return chromium.Output();
}

// The page once it holds `marker`: a browser on loaded cores may dump the page before its
// script has drawn it, so it is asked again, a few times.
std::string BrowseFor(const test::TempDir& dir, const std::string& url, const std::string& language,
                      const std::string& marker) {
  std::string page;
  for (int attempt = 0; attempt < 5; ++attempt) {
    page = Browse(dir, url, language);
    if (page.find(marker) != std::string::npos) break;
  }
  return page;
}

// Three stations burn simulated boards on a PostgreSQL store while the factory view
// serves it: in a real browser the page names them and their states; a port that fails
// three units in a row raises its alarm; a station killed shows "gone" once the grace time
// passed; the page comes in Japanese to a Japanese browser.
TEST(Browser, ThreeStationsOnOneStore) {
  if (!std::filesystem::exists(kChromium)) GTEST_SKIP() << "no Chromium";
  test::TempDir dir;
  test::TestStore store;
  if (!store.Make(true, dir)) GTEST_SKIP() << "no PostgreSQL server (OTP_TEST_POSTGRES)";
  dir.Write("m_otp.150", std::string(100, 'm'));
  const std::string image =
      dir.Write("app.mhx", test::Record('1', 0xC000, {1, 2, 3}) + "\n").string();
  const std::string none = dir.Write("none.txt", "").string();
  const std::vector<std::string> names = {"LINE-A", "LINE-B", "LINE-C"};
  std::vector<std::unique_ptr<sim::TargetBoard>> boards;
  std::vector<std::unique_ptr<sim::PtyBoard>> ptys;
  for (std::size_t i = 0; i < names.size(); ++i) {
    boards.push_back(std::make_unique<sim::TargetBoard>());
    boards.back()->SetFixture({true, 400'000, 0, 1, 300'000});
    if (i == 2) boards.back()->AddFault(test::Fault("program-status:byte=0x04"));  // each fails
    ptys.push_back(std::make_unique<sim::PtyBoard>(
        *boards.back(), sim::PtyBoard::Options{(dir / ("tty" + names[i])).string(), false}));
    if (!ptys.back()->Start(nullptr)) GTEST_SKIP() << "no pseudo-terminal";
  }
  // Gone after ten seconds of silence.
  ASSERT_EQ(test::RunToEnd(OTP_CLI_PROGRAM, {"--db", store.location, "store", "set", "grace", "10"})
                .status,
            0);
  std::vector<std::unique_ptr<test::Process>> stations;
  for (std::size_t i = 0; i < names.size(); ++i) {
    stations.push_back(std::make_unique<test::Process>(
        OTP_CLI_PROGRAM, std::vector<std::string>{"--settings",
                                                  none,
                                                  "--monitor-dir",
                                                  dir.path().string(),
                                                  "-m",
                                                  "KT47C150",
                                                  "-c",
                                                  "8MHz",
                                                  "--db",
                                                  store.location,
                                                  "--station",
                                                  names[i],
                                                  "--serial",
                                                  "0xFFF0:be16",
                                                  "--start",
                                                  "auto",
                                                  "-q",
                                                  "-p",
                                                  (dir / ("tty" + names[i])).string(),
                                                  "produce",
                                                  image}));
  }
  test::Process serve(OTP_CLI_PROGRAM,
                      {"--db", store.location, "--json", "serve", "--listen", "127.0.0.1:0"});
  const std::string url = test::WaitForJsonText(serve, "url");
  ASSERT_FALSE(url.empty()) << serve.Errors();
  const int port = std::stoi(url.substr(url.rfind(':') + 1));
  httplib::Client client("127.0.0.1", port);
  // Waits until the stations' JSON satisfies `done`.
  auto waitFor = [&](const std::function<bool(const QJsonObject&)>& done) {
    for (int i = 0; i < 600; ++i) {
      if (const auto answer = client.Get("/api/stations")) {
        if (done(QJsonDocument::fromJson(QByteArray::fromStdString(answer->body)).object()))
          return true;
      }
      std::this_thread::sleep_for(100ms);
    }
    return false;
  };
  auto stateOf = [](const QJsonObject& json, const char* name) {
    for (const QJsonValue& s : json["stations"].toArray())
      if (s.toObject()["name"].toString() == name) return s.toObject()["state"].toString();
    return QString();
  };
  ASSERT_TRUE(waitFor([&](const QJsonObject& json) {
    for (const QJsonValue& alarm : json["alarms"].toArray())
      if (alarm.toObject()["kind"] == "port-failing") return true;
    return false;
  }));
  const std::string page =
      BrowseFor(dir, url, "en", "data-kind=\"port-failing\" data-station=\"LINE-C\"");
  for (const std::string& name : names)
    EXPECT_NE(page.find("data-station=\"" + name + "\""), std::string::npos) << name << page;
  EXPECT_NE(page.find("data-kind=\"port-failing\" data-station=\"LINE-C\""), std::string::npos)
      << page;
  EXPECT_EQ(page.find("data-state=\"gone\""), std::string::npos);
  if (const char* shots = std::getenv("OTP_SCREENSHOTS"))
    Browse(dir, url, "en", std::string(shots) + "/factory.png");

  // LINE-B dies: after the grace time the page says so.
  stations[1]->Signal(SIGKILL);
  stations[1]->Wait();
  ASSERT_TRUE(waitFor([&](const QJsonObject& json) { return stateOf(json, "LINE-B") == "gone"; }));
  const std::string later =
      BrowseFor(dir, url, "en", "data-station=\"LINE-B\" data-state=\"gone\"");
  EXPECT_NE(later.find("data-station=\"LINE-B\" data-state=\"gone\""), std::string::npos) << later;
  // And to a Japanese browser, in Japanese.
  const std::string japanese = BrowseFor(dir, url, "ja", "\xe5\xb7\xa5\xe5\xa0\xb4");
  EXPECT_NE(japanese.find("lang=\"ja\""), std::string::npos);
  EXPECT_NE(japanese.find("\xe5\xb7\xa5\xe5\xa0\xb4"), std::string::npos) << japanese;  // 工場
  if (const char* shots = std::getenv("OTP_SCREENSHOTS"))
    Browse(dir, url, "ja", std::string(shots) + "/factory-ja.png");

  // The others end at Ctrl-C (with their last unit's status: LINE-C's failed).
  for (std::size_t i = 0; i < stations.size(); ++i) {
    if (i == 1) continue;
    stations[i]->Signal(SIGINT);
    EXPECT_GE(stations[i]->WaitAtMost(20s), 0) << stations[i]->Errors();
  }
  serve.Signal(SIGINT);
  EXPECT_EQ(serve.WaitAtMost(10s), 0) << serve.Errors();
}

}  // namespace
}  // namespace otp
