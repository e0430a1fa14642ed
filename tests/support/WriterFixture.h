#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "chip/ChipTable.h"
#include "core/ResultReporter.h"
#include "link/Download.h"
#include "ops/CWriter.h"
#include "sim/TargetBoard.h"
#include "tests/support/FakeLine.h"
#include "tests/support/FakeView.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestClock.h"

namespace otp::test {

/// The writer without a window: a view with a scripted operator, the real reporter, and
/// a simulated board on a fake line on virtual time. The program folder is a temporary
/// one holding the monitor files; the current folder is restored afterwards.
class WriterFixture : public ::testing::Test {
 protected:
  WriterFixture() {
    clock.onSleep = [this] { view.Operate(); };
    view.onMessage = [this] {
      // The operator resets the board when asked to.
      if (view.messages.back().first == otp::kResetPrompt) board.Reset();
    };
    writer.m_strModuleDir = dir.dir();
    SelectModel(1);
    std::vector<std::uint8_t> monitor(700);
    for (std::size_t i = 0; i < monitor.size(); ++i)
      monitor[i] = static_cast<std::uint8_t>(i * 7);
    WriteMonitor("m_otp.150", monitor);
    WriteMonitor("m_otp.630", monitor);
  }
  ~WriterFixture() override {
    std::error_code ec;
    std::filesystem::current_path(cwd_, ec);
  }

  void SelectModel(int row) { writer.spec.Assign(ChipTable()[static_cast<std::size_t>(row)]); }
  void WriteMonitor(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    dir.Write(name, std::string(bytes.begin(), bytes.end()));
    monitorBytes = bytes;
  }
  /// A Download at speed entry `rate`, in a fresh progress window.
  bool Download(int rate = 2) {
    view.NewWindow();
    return writer.Download(line, line.device(), rate) == Outcome::kOk;
  }
  /// Downloads and forgets what the operator saw so far.
  void Ready() {
    ASSERT_TRUE(Download());
    view.ClearRecords();
    board.readAddresses.clear();
    board.commands.clear();
    line.written.clear();
  }
  /// The texts of the reports that the operator acknowledged.
  std::vector<std::string> Reports() const {
    std::vector<std::string> texts;
    for (const auto& seen : view.acknowledged)
      texts.push_back(seen.status);
    return texts;
  }

  TestClock clock;
  sim::TargetBoard board;
  FakeLine line{clock, board};
  FakeView view;
  int returnsToIdle = 0;
  ResultReporter reporter{view, clock, Language::kEnglish, [this] {
                            writer.link.Close();
                            ++returnsToIdle;
                          }};
  CWriter writer{view, reporter, clock};
  TempDir dir;
  std::vector<std::uint8_t> monitorBytes;

 private:
  std::filesystem::path cwd_ = std::filesystem::current_path();
};

}  // namespace otp::test
