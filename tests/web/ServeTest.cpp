#include <gtest/gtest.h>

#include <httplib.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/Texts.h"
#include "ops/Factory.h"
#include "store/ProductionStore.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestStore.h"
#include "web/FactoryServer.h"

namespace otp {
namespace {

using namespace std::chrono_literals;

// A name that would run as a script, break JSON and forge a line, were it not escaped.
const std::string kHostile = "<img src=x onerror=alert(1)>\"\\\n'LINE";

// The factory view on a store of the test's own (SQLite, and PostgreSQL when the test
// command started a server), with units of a hostile station and a lease that publishes.
class ServeTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!store.Make(GetParam(), dir)) GTEST_SKIP() << "no PostgreSQL server (OTP_TEST_POSTGRES)";
    StoreError error;
    auto records = ProductionStore::Open(store.location, error);
    ASSERT_TRUE(records) << error;
    LeaseHolder holder{"owner-1", kHostile, "pc-1", "boot", 1, "1"};
    ASSERT_TRUE(records->Claim(holder, error)) << error;
    StationLive live;
    live.job = "BRAKE";
    live.numbersLeft = 40;
    live.counter = "BRAKE";
    live.largest = 0xFFFF;
    Counter counter;
    bool made = false;
    ASSERT_TRUE(records->EnsureCounter("BRAKE", 1000, 1, counter, made, error)) << error;
    live.ports.push_back({"COM1", StationLive::Port::State::kWorking, 1003, std::nullopt});
    ASSERT_TRUE(records->Heartbeat("owner-1", LiveJson(live), error)) << error;
    for (int i = 0; i < 4; ++i) {
      Attempt a;
      a.unitId = "u-" + std::to_string(i);
      a.station = kHostile;
      a.port = "COM1";
      a.started = QDateTime::currentDateTimeUtc().toString(Qt::ISODate).toStdString();
      a.ended = a.started;
      a.job = "BRAKE";
      a.outcome = i == 3 ? UnitOutcome::kFail : UnitOutcome::kPass;
      a.reading = i == 0 ? ReadMode::kArea : ReadMode::kImage;
      a.reportText = i == 3 ? "No.016 Verify error" : "";
      ASSERT_TRUE(records->SettleAndRecord(a, "owner-1", error)) << error;
    }
  }
  void Serve(const std::string& location) {
    web::ServeOptions options;
    options.store = location;
    options.port = 0;
    options.refresh = 100ms;
    server = std::make_unique<web::FactoryServer>(options);
    std::string error;
    ASSERT_TRUE(server->Start(error)) << error;
    client = std::make_unique<httplib::Client>("127.0.0.1", server->port());
  }
  QJsonObject Stations() {
    const auto answer = client->Get("/api/stations");
    EXPECT_TRUE(answer);
    if (!answer) return {};
    EXPECT_EQ(answer->status, 200);
    QJsonParseError error{};
    const QJsonDocument json =
        QJsonDocument::fromJson(QByteArray::fromStdString(answer->body), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << answer->body;
    return json.object();
  }

  test::TempDir dir;
  test::TestStore store;
  std::unique_ptr<web::FactoryServer> server;
  std::unique_ptr<httplib::Client> client;
};

// Every endpoint: the stations as JSON (names escaped, the state and figures right), the
// page in the browser's language (its texts escaped), the report as JSON, HTML and PDF;
// a time that is no time refused; nothing but reads answered.
TEST_P(ServeTest, EveryEndpoint) {
  Serve(store.location);
  const QJsonObject stations = Stations();
  ASSERT_EQ(stations["stations"].toArray().size(), 1) << QJsonDocument(stations).toJson().data();
  const QJsonObject station = stations["stations"].toArray()[0].toObject();
  EXPECT_EQ(station["name"].toString().toStdString(), Printable(kHostile));
  EXPECT_EQ(station["state"].toString(), "burning");
  EXPECT_EQ(station["passedToday"].toInt(), 3);
  EXPECT_EQ(station["failedToday"].toInt(), 1);
  EXPECT_EQ(station["numbersLeft"].toInt(), 40);
  EXPECT_EQ(station["counterLeft"].toInt(), 0xFFFF - 1000 + 1);
  ASSERT_EQ(station["ports"].toArray().size(), 1);
  EXPECT_EQ(station["ports"].toArray()[0].toObject()["serial"].toInt(), 1003);
  EXPECT_EQ(station["ports"].toArray()[0].toObject()["last"].toArray().size(), 4);

  struct Case {
    const char* what;
    std::string path;
    httplib::Headers headers;
    int status;
    const char* type;
    const char* holds;
  };
  const Case cases[] = {
      {"the page", "/", {}, 200, "text/html", "<h1>Factory view</h1>"},
      {"the page in Japanese",
       "/",
       {{"Accept-Language", "ja,en;q=0.8"}},
       200,
       "text/html",
       "lang=\"ja\""},
      {"the page asked in Japanese", "/?lang=ja", {}, 200, "text/html", "\xe5\xb7\xa5"},
      {"its script", "/app.js", {}, 200, "text/javascript", "textContent"},
      {"the report's figures", "/api/report", {}, 200, "application/json", "\"units\":4"},
      {"what its units read",
       "/api/report",
       {},
       200,
       "application/json",
       "\"readings\":{\"area\":1,\"image\":3}"},
      {"the report's page", "/report?since=2020-01-01", {}, 200, "text/html", "<svg"},
      {"the report as PDF", "/report.pdf", {}, 200, "application/pdf", "%PDF"},
      {"a time that is no time", "/api/report?since=yesterday", {}, 400, "text/plain", "since"},
      {"nothing else", "/nothing", {}, 404, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto answer = client->Get(c.path, c.headers);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, c.status);
    EXPECT_EQ(answer->get_header_value("Content-Type").rfind(c.type, 0), 0u)
        << answer->get_header_value("Content-Type");
    EXPECT_NE(answer->body.find(c.holds), std::string::npos) << answer->body.substr(0, 400);
    // No text of the store's reaches a page unescaped.
    EXPECT_EQ(answer->body.find("<img src=x"), std::string::npos);
  }
  // Nothing changes anything.
  for (const auto& answer : {client->Post("/api/stations", "{}", "application/json"),
                             client->Delete("/"), client->Put("/report", "x", "text/plain")}) {
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 405);
  }
}

// A role that may only SELECT serves everything; the password never shows.
TEST_P(ServeTest, ARoleThatOnlyReads) {
  if (!GetParam()) GTEST_SKIP() << "roles are PostgreSQL's";
  const std::string role = "reader_" + std::to_string(::getpid());
  test::TestStore::Sql(store.location, "DROP ROLE IF EXISTS " + role);
  test::TestStore::Sql(store.location, "CREATE ROLE " + role +
                                           " LOGIN PASSWORD 's3cret'; GRANT SELECT ON ALL "
                                           "TABLES IN SCHEMA public TO " +
                                           role);
  std::string location = store.location;
  location.replace(location.find("//") + 2, location.find('@') - location.find("//") - 2,
                   role + ":s3cret");
  Serve(location);
  const QJsonObject stations = Stations();
  EXPECT_FALSE(stations.contains("error")) << stations["error"].toString().toStdString();
  EXPECT_EQ(stations["stations"].toArray().size(), 1);
  for (const char* path : {"/", "/api/stations", "/report", "/api/report"}) {
    const auto answer = client->Get(path);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200) << path << " " << answer->body;
    EXPECT_EQ(answer->body.find("s3cret"), std::string::npos) << path;
  }
  server.reset();
  test::TestStore::Sql(store.location, "REVOKE ALL ON ALL TABLES IN SCHEMA public FROM " + role +
                                           "; DROP ROLE " + role);
}

// Unless told otherwise it listens on loopback only: the system's table of sockets says so.
TEST(Serve, LoopbackByDefault) {
  test::TempDir dir;
  const std::string db = (dir / "production.db").string();
  {
    StoreError error;
    ASSERT_TRUE(ProductionStore::Open(db, error)) << error;
  }
  web::ServeOptions options;
  options.store = db;
  options.port = 0;
  EXPECT_EQ(options.host, "127.0.0.1");
  web::FactoryServer server(options);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  char port[8];
  std::snprintf(port, sizeof(port), "%04X", server.port());
  std::ifstream sockets("/proc/net/tcp");
  std::string line, local;
  while (std::getline(sockets, line)) {
    std::istringstream fields(line);
    std::string slot, address, remote, state;
    fields >> slot >> address >> remote >> state;
    if (state == "0A" && address.substr(address.find(':') + 1) == port) local = address;
  }
  EXPECT_EQ(local, std::string("0100007F:") + port);
}

TEST(Serve, LanguageOfTheBrowser) {
  EXPECT_EQ(web::LanguageOf("ja-JP,ja;q=0.9,en;q=0.8", ""), Language::kJapanese);
  EXPECT_EQ(web::LanguageOf("de-DE,en;q=0.8,ja;q=0.5", ""), Language::kEnglish);
  EXPECT_EQ(web::LanguageOf("", ""), Language::kEnglish);
  EXPECT_EQ(web::LanguageOf("en", "ja"), Language::kJapanese);
  EXPECT_FALSE(ParseLive("{not json"));
  EXPECT_FALSE(ParseLive("[1,2]"));
}

INSTANTIATE_TEST_SUITE_P(Stores, ServeTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PostgreSQL" : "SQLite"; });

}  // namespace
}  // namespace otp

int main(int argc, char** argv) {
  // The report's PDF is painted: a GUI application without a display.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
