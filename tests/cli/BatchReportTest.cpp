#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QTimeZone>
#include <QXmlStreamReader>
#include <cmath>
#include <map>
#include <sstream>

#include "store/ProductionStore.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestStore.h"

namespace otp {
namespace {

using test::Ran;
using test::RunToEnd;

// One unit of the batch as the store keeps it.
struct Unit {
  const char* station;
  const char* port;
  const char* result;  // interrupted, or an outcome's name
  const char* reason;
  std::optional<std::uint32_t> failedBlock;
  std::optional<std::uint32_t> firstDifference;
};

// A batch with known figures, recorded as the station records it (a number reserved, then
// settled with the attempt): two stations, three ports; 62 passed, 3 failed (two in block
// C300, one at F0FF), one interrupted whose number was issued again; one unit the day
// before and one without a number.
class BatchReport : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!store.Make(GetParam(), dir)) GTEST_SKIP() << "no PostgreSQL server (OTP_TEST_POSTGRES)";
    StoreError error;
    auto records = ProductionStore::Open(store.location, error);
    ASSERT_TRUE(records) << error;
    ASSERT_TRUE(records->Claim(LeaseHolder{"test-owner", "LINE-A", "here", "", 1, ""}, error))
        << error;
    Counter counter;
    bool made = false;
    ASSERT_TRUE(records->EnsureCounter("serial", 1000, 1, counter, made, error)) << error;
    std::vector<Unit> units;
    const Unit pass0{"LINE-A", "/dev/ttyUSB0", "pass", "", {}, {}};
    const Unit pass1{"LINE-A", "/dev/ttyUSB1", "pass", "", {}, {}};
    const Unit passB{"LINE-B", "/dev/ttyS3", "pass", "", {}, {}};
    for (int i = 0; i < 42; ++i)
      units.push_back(i % 3 == 0 ? pass0 : (i % 3 == 1 ? pass1 : passB));
    units.push_back({"LINE-A", "/dev/ttyUSB1", "fail", "No.016 Verify error", 0xC300, 0xC301});
    for (int i = 0; i < 18; ++i)
      units.push_back(i % 2 ? pass0 : passB);
    units.push_back(
        {"LINE-B", "/dev/ttyS3", "interrupted", "the station stopped during the unit", {}, {}});
    units.push_back(pass0);
    units.push_back({"LINE-A", "/dev/ttyUSB1", "fail", "No.016 Verify error", {}, 0xC310});
    units.push_back({"LINE-A", "/dev/ttyUSB1", "fail", "No.014 Blank check error", {}, 0xF0FF});
    units.push_back(passB);
    // 66 units two minutes apart from 08:00: three hours with units.
    int minute = 0;
    for (const Unit& u : units) {
      Attempt a = Base(u, minute);
      minute += 2;
      a.counter = "serial";
      const auto serial = records->Reserve(a, 0xFFFF, "test-owner", error);
      ASSERT_TRUE(serial) << error;
      a.serial = *serial;
      a.serialState = a.outcome == UnitOutcome::kPass   ? SerialState::kUsed
                      : a.outcome == UnitOutcome::kFail ? SerialState::kSpoiled
                                                        : SerialState::kReleased;
      ASSERT_TRUE(records->SettleAndRecord(a, "test-owner", error)) << error;
    }
    // The outcomes where no part was written, recorded without numbers: one each, and a
    // port that could not be opened (no unit).
    for (const char* result : {"already-programmed", "wrong-part", "board-gone", "port-problem"}) {
      Attempt a = Base({"LINE-B", "/dev/ttyS3", result, "No.003 Timeout error", {}, {}}, minute);
      minute += 2;
      ASSERT_TRUE(records->SettleAndRecord(a, "test-owner", error)) << error;
    }
    Attempt before = Base(passB, -600);  // 2026-11-30T22:00: outside the day
    ASSERT_TRUE(records->SettleAndRecord(before, "test-owner", error)) << error;
  }

  static Attempt Base(const Unit& u, int minute) {
    static int sequence = 0;
    Attempt a;
    a.unitId = "test-" + std::to_string(++sequence);
    const QDateTime start =
        QDateTime(QDate(2026, 12, 1), QTime(8, 0), QTimeZone::utc()).addSecs(minute * 60);
    a.started = start.toString(Qt::ISODate).toStdString();
    a.ended = start.addSecs(19).toString(Qt::ISODate).toStdString();
    a.station = u.station;
    a.port = u.port;
    a.device = u.port;
    a.model = "KT47C150";
    a.clock = "8MHz";
    a.image = "app.mhx";
    a.crc32 = 0x1234ABCD;
    const std::string result = u.result;
    a.outcome = result == "interrupted" ? UnitOutcome::kStopped : *OutcomeNamed(result);
    a.verdict = result == "pass"   ? UnitVerdict::kPass
                : result == "fail" ? UnitVerdict::kNotGood
                                   : UnitVerdict::kInterrupted;
    a.reportText = u.reason;
    a.failedBlock = u.failedBlock;
    a.firstDifference = u.firstDifference;
    a.seconds = 19;
    return a;
  }

  Ran Cli(std::vector<std::string> args) {
    args.insert(args.end(), {"--db", store.location});
    return RunToEnd(OTP_CLI_PROGRAM, args);
  }

  // The page's words as a reader gets them from the PDF.
  std::string PdfText(const std::string& pdf) {
    const Ran text = RunToEnd("/usr/bin/pdftotext", {"-layout", pdf, "-"});
    EXPECT_EQ(text.status, 0) << text.err;
    std::string words;  // each run of blanks one blank: the columns' widths vary
    for (const char c : text.out) {
      if (c != ' ' || words.empty() || words.back() != ' ') words += c;
    }
    return words;
  }

  test::TempDir dir;
  test::TestStore store;
};

// The page in each form and language holds the batch's figures, and they agree with log
// over the same period.
TEST_P(BatchReport, HoldsTheFiguresOfItsPeriod) {
  const std::vector<std::string> day = {"--since", "2026-12-01", "--until", "2026-12-02"};
  struct Case {
    const char* lang;
    std::vector<std::string> says;
  } cases[] = {
      {"en",
       {"Batch report",
        "Units",
        "69",
        "Passed",
        "62",
        "95.4 %",  // 62 of the 65 units that wrote a part
        "23.0",
        "Stations and ports: LINE-A (/dev/ttyUSB0, /dev/ttyUSB1); LINE-B (/dev/ttyS3)",
        "Used: 62 numbers",
        "1000\u20131041, 1043\u20131061, 1064",
        "Spoiled: 3",
        "1042, 1062, 1063",
        "Next free number of serial: 1065",
        "2 No.016 Verify error",
        "1 No.014 Blank check error",
        "STOPPED 1",
        "ALREADY PROGRAMMED 1",
        "WRONG PART 1",
        "BOARD GONE 1",
        "PORT PROBLEM 1 (no unit)",
        "KT47C150 8MHz app.mhx CRC-32 0x1234ABCD read: the whole OTP area 69 units",
        "yield: passed over the units that wrote a part",
        "LINE-A /dev/ttyUSB1 14 3 82.4 %"}},
      {"ja",
       {"バッチレポート", "台数", "69", "95.4 %", "使用: 62 個", "書込済 1", "ポート異常 1",
        "1000\u20131041, 1043\u20131061, 1064", "廃番: 3", "serial の次の空き番号: 1065",
        "2 No.016 Verify error"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lang);
    const std::string pdf = (dir / (std::string("day-") + c.lang + ".pdf")).string();
    std::vector<std::string> args = {"--lang", c.lang, "report", pdf};
    args.insert(args.end(), day.begin(), day.end());
    const Ran made = Cli(args);
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string text = PdfText(pdf);
    for (const std::string& words : c.says)
      EXPECT_NE(text.find(words), std::string::npos) << words << "\n" << text;
  }
  // log over the same day counts the same units.
  std::vector<std::string> log = {"--json", "log"};
  log.insert(log.end(), day.begin(), day.end());
  const Ran logged = Cli(log);
  ASSERT_EQ(logged.status, 0) << logged.err;
  std::map<std::string, int> results;
  std::map<QString, int> outcomes;
  std::istringstream lines(logged.out);
  for (std::string line; std::getline(lines, line);) {
    const QJsonObject event = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
    if (event["event"].toString() != "attempt") continue;
    ++results[event["result"].toString().toStdString()];
    ++outcomes[event["outcome"].toString()];
  }
  std::vector<std::string> json = {"--json", "report", (dir / "day.png").string()};
  json.insert(json.end(), day.begin(), day.end());
  const Ran reported = Cli(json);
  ASSERT_EQ(reported.status, 0) << reported.err;
  const std::string first = reported.out.substr(0, reported.out.find('\n'));
  const QJsonObject event = QJsonDocument::fromJson(QByteArray::fromStdString(first)).object();
  EXPECT_EQ(event["event"].toString(), "report") << reported.out;
  // Every outcome as log counts it; the units all but the port problem.
  const QJsonObject reportedOutcomes = event["outcomes"].toObject();
  EXPECT_EQ(reportedOutcomes.size(), 7);
  int units = 0;
  for (const QString& name : reportedOutcomes.keys()) {
    EXPECT_EQ(reportedOutcomes[name].toInt(), outcomes[name]) << name.toStdString();
    units += name == "port-problem" ? 0 : outcomes[name];
  }
  EXPECT_EQ(event["units"].toInt(), units);
  EXPECT_EQ(event["passed"].toInt(), outcomes["pass"]);
  EXPECT_EQ(event["failed"].toInt(), outcomes["fail"]);
  EXPECT_EQ(event["notWritten"].toInt(), units - outcomes["pass"] - outcomes["fail"]);
  EXPECT_EQ(outcomes["pass"], 62);
  EXPECT_EQ(outcomes["port-problem"], 1);
  EXPECT_EQ(units, 69);

  // The PNG is the A4 page at 150 dots an inch.
  const std::string png = test::TempDir::ReadFile(dir / "day.png");
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(1, 3), "PNG");
  auto big = [&](std::size_t at) {
    return (std::uint32_t(std::uint8_t(png[at])) << 24) |
           (std::uint32_t(std::uint8_t(png[at + 1])) << 16) |
           (std::uint32_t(std::uint8_t(png[at + 2])) << 8) | std::uint8_t(png[at + 3]);
  };
  EXPECT_EQ(big(16), 1240u);
  EXPECT_EQ(big(20), 1754u);

  // The HTML is one well-formed document; its memory map shows 2 failures in block C300
  // and 1 in F000, where the row and column labels say.
  const std::string html = (dir / "day.html").string();
  std::vector<std::string> page = {"report", html};
  page.insert(page.end(), day.begin(), day.end());
  ASSERT_EQ(Cli(page).status, 0);
  QXmlStreamReader xml(QByteArray::fromStdString(test::TempDir::ReadFile(html)));
  int svgs = 0;
  bool inMap = false;
  std::map<QString, double> columns, rows;  // label: x or y of its centre
  std::vector<std::tuple<QString, double, double>> counts;
  QString heading;
  while (!xml.atEnd()) {
    xml.readNext();
    if (!xml.isStartElement()) continue;
    if (xml.name() == u"h2") heading = xml.readElementText();
    if (xml.name() == u"svg") {
      ++svgs;
      inMap = heading == "Memory map of failures";
    }
    if (inMap && xml.name() == u"text") {
      const auto at = xml.attributes();
      const double x = at.value("x").toDouble(), y = at.value("y").toDouble();
      const bool bold = at.hasAttribute("font-weight");
      const QString word = xml.readElementText();
      if (bold)
        counts.emplace_back(word, x, y);
      else if (word.size() == 1)
        columns[word] = x;
      else if (word.size() == 4)
        rows[word] = y;
    }
  }
  EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
  EXPECT_EQ(svgs, 2);
  std::map<std::string, std::string> cells;
  for (const auto& [word, x, y] : counts) {
    auto nearest = [](const std::map<QString, double>& labels, double at) {
      QString best;
      for (const auto& [label, position] : labels)
        if (best.isEmpty() || std::abs(position - at) < std::abs(labels.at(best) - at))
          best = label;
      return best;
    };
    cells[(nearest(rows, y) + "+" + nearest(columns, x)).toStdString()] = word.toStdString();
  }
  EXPECT_EQ(cells, (std::map<std::string, std::string>{{"C000+3", "2"}, {"F000+0", "1"}}));
}

// A station and a period narrow the page; a period without units says so; what cannot be
// written is refused before the store is read.
TEST_P(BatchReport, NarrowsAndRefuses) {
  const std::string pdf = (dir / "b.pdf").string();
  Ran ran = Cli({"report", pdf, "--station", "LINE-B", "--since", "2026-12-01"});
  ASSERT_EQ(ran.status, 0) << ran.err;
  std::string text = PdfText(pdf);
  for (const char* words :
       {"Stations and ports: LINE-B (/dev/ttyS3)", "Units", "No part written"}) {
    EXPECT_NE(text.find(words), std::string::npos) << words << "\n" << text;
  }
  EXPECT_EQ(text.find("LINE-A"), std::string::npos) << text;
  EXPECT_NE(text.find("100.0 %"), std::string::npos) << text;  // 24 of 24 that wrote a part

  ran = Cli({"report", pdf, "--since", "2027-01-01"});
  ASSERT_EQ(ran.status, 0) << ran.err;
  text = PdfText(pdf);
  EXPECT_NE(text.find("No attempts in this period"), std::string::npos) << text;

  struct Refused {
    std::vector<std::string> args;
    int status;
    const char* says;
  } refused[] = {
      {{"report", (dir / "b.txt").string()}, 64, "OUT ends in .pdf, .png or .html"},
      {{"report", (dir / "none" / "b.pdf").string()}, 3, "cannot write"},
      {{"report", pdf, "--since", "yesterday"}, 64, "yesterday"},
  };
  for (const Refused& r : refused) {
    ran = Cli(r.args);
    EXPECT_EQ(ran.status, r.status) << ran.err;
    EXPECT_NE(ran.err.find(r.says), std::string::npos) << ran.err;
  }
  // An SQLite store that is not there is not made by a report.
  const Ran missing =
      RunToEnd(OTP_CLI_PROGRAM, {"report", pdf, "--db", (dir / "nowhere.db").string()});
  EXPECT_EQ(missing.status, 3) << missing.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "nowhere.db"));
}

INSTANTIATE_TEST_SUITE_P(Stores, BatchReport, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PostgreSQL" : "SQLite"; });

}  // namespace
}  // namespace otp
