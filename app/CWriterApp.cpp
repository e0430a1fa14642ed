#include "app/CWriterApp.h"

#include <filesystem>
#include <system_error>

#include "settings/Settings.h"

namespace otp {

void DeleteScratchFiles(const std::string& moduleDir) {
  for (const char* name : kScratchFiles) {
    std::error_code ec;
    std::filesystem::remove(InModuleDir(moduleDir, name), ec);
  }
}

CWriterApp::CWriterApp(WriterEnvironment environment) : environment_(std::move(environment)) {}

bool CWriterApp::InitInstance() {
  CWriterDlg dialog(nullptr, environment_);
  dialog.exec();
  // The link is not closed here: the end of the process releases the port.
  if (!dialog.scratchDir().empty()) DeleteScratchFiles(dialog.scratchDir());
  return false;
}

}  // namespace otp
