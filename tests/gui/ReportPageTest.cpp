#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QString>

#include "report/ReportModel.h"
#include "report/ReportPage.h"

namespace otp {
namespace {

// Figures with more of everything than a page holds.
BatchFigures ManyOfEverything() {
  BatchFigures f;
  f.first = "2026-12-07T06:00:00Z";
  f.last = "2026-12-07T14:00:00Z";
  f.units = 300;
  f.counts.Add(UnitOutcome::kPass, true, 250);
  f.counts.Add(UnitOutcome::kFail, true, 25);
  f.counts.Add(UnitOutcome::kBoardGone, true, 5);
  f.counts.Add(UnitOutcome::kStopped, false, 20);
  f.activeHours = 8;
  for (int i = 0; i < 10; ++i) {
    f.setups.push_back({"JOB-" + std::to_string(i), "abcd0123", "KT47C150", "8MHz",
                        "app" + std::to_string(i) + ".mhx", 0x1234u + i, ReadMode::kArea, 30});
  }
  f.setupCount = 10;
  for (int i = 0; i < 15; ++i)
    f.ports.push_back(
        {"line-" + std::to_string(i / 4), "COM" + std::to_string(i % 4 + 1), 20, 17, 2});
  for (int i = 0; i < 20; ++i)
    f.reasons.push_back({std::nullopt, "reason number " + std::to_string(i), 20 - i});
  for (int i = 0; i < 30; ++i)
    f.spoiled.push_back(1000 + i);
  f.spoiledNumbers = 30;
  f.nextFree = {{"serial", 1007}, {"other", 5}, {"third", 7}, {"fourth", std::nullopt}};
  return f;
}

// The painted page and the HTML page render one model: every line the model holds is on
// both, with the same "and N more" of each list; no list is longer on one than the other.
TEST(ReportPage, ThePageAndTheHtmlSayTheSame) {
  for (const Language language : {Language::kEnglish, Language::kJapanese}) {
    SCOPED_TRACE(language == Language::kJapanese ? "ja" : "en");
    const BatchFigures figures = ManyOfEverything();
    report::ReportContext context;
    context.period = "every record";
    context.store = "/srv/production.db";
    context.generated = "2026-12-09 10:00 UTC";
    const report::ReportModel model = report::BuildReport(figures, context, language);
    EXPECT_EQ(model.setups.size(), report::ReportModel::kSetups);
    EXPECT_EQ(model.ports.size(), report::ReportModel::kPorts);
    EXPECT_EQ(model.reasons.size(), report::ReportModel::kReasons);
    std::string painted;
    for (const report::Shape& shape : report::LayoutPage(figures, context, language))
      painted += shape.text.toStdString() + "\n";
    QString html = QString::fromStdString(report::Html(figures, context, language));
    html.replace(QRegularExpression("<[^>]*>"), "\n").replace("&#8211;", "\u2013");
    const std::string text = html.toStdString();
    std::vector<std::string> lines = {model.moreSetups, model.morePorts, model.otherReasons,
                                      model.moreNextFree};
    for (const auto& setup : model.setups)
      lines.push_back(setup.units);
    for (const auto& reason : model.reasons)
      lines.push_back(reason.text);
    for (const auto& port : model.ports)
      lines.push_back(port.name);
    for (const std::string& next : model.nextFree)
      lines.push_back(next);
    for (const std::string& line : lines) {
      ASSERT_FALSE(line.empty());
      EXPECT_NE(painted.find(line), std::string::npos) << "not on the page: " << line;
      EXPECT_NE(text.find(line), std::string::npos) << "not in the HTML: " << line;
    }
    // A reason beyond the model's is on neither.
    EXPECT_EQ(painted.find("reason number 15"), std::string::npos);
    EXPECT_EQ(text.find("reason number 15"), std::string::npos);
  }
}

}  // namespace
}  // namespace otp
