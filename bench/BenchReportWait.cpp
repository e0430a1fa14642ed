// Measures the process's CPU time while a result report waits 10 seconds for the operator
// in a real (offscreen) progress window.

#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <cstdio>

#include "core/Clock.h"
#include "core/ResultReporter.h"
#include "ui/CProgressDlg.h"

namespace {
double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  QWidget owner;
  owner.show();
  otp::CProgressDlg progress(0, otp::Language::kEnglish, &owner);
  otp::SystemClock clock;
  otp::ResultReporter reporter(progress, clock, otp::Language::kEnglish, nullptr);
  progress.Create();
  QTimer::singleShot(10'000, [&] { progress.OnCancel(); });
  QElapsedTimer wall;
  wall.start();
  const double cpu = CpuSeconds();
  reporter.ReportResult(304, otp::kInformation, otp::kVerdictOk);
  const double used = CpuSeconds() - cpu;
  const double seconds = wall.elapsed() / 1000.0;
  std::printf("report wait: %.2f s wall, %.3f s CPU, %.2f%% of one core\n", seconds, used,
              100 * used / seconds);
  progress.DestroyWindow();
  return 0;
}
