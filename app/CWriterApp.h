#pragma once

#include <string>

#include "app/CWriterDlg.h"

namespace otp {

/// Scratch files that the program deletes from its own folder when it ends.
inline constexpr const char* kScratchFiles[] = {"batch.bat", "_w_o_r_k.5"};

/// Deletes the scratch files from `moduleDir` (ending with a separator), and from no other
/// folder: a file of that name elsewhere may be the operator's own. Missing files are fine.
/// An installed program, whose folder is not the user's, deletes none.
void DeleteScratchFiles(const std::string& moduleDir);

/// The application: runs the main window modally, then cleans up.
class CWriterApp {
 public:
  explicit CWriterApp(WriterEnvironment environment = {});
  /// Runs the main window until it closes; returns false, as the program then ends.
  bool InitInstance();

 private:
  WriterEnvironment environment_;
};

}  // namespace otp
