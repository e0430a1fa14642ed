#pragma once

namespace otp::cli {

/// Ctrl-C: the first press asks the running operation to stop between blocks; the
/// second ends the program at once.
void InstallInterruptHandler();
/// True once Ctrl-C was pressed.
bool Interrupted();
/// How often Ctrl-C was pressed so far.
int InterruptPresses();

}  // namespace otp::cli
