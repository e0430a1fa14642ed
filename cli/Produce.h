#pragma once

#include "cli/Context.h"
#include "ops/Production.h"

namespace otp::cli {

/// What every production run of the command line shares: the ports, the station, the
/// reset, the language and the monitor folders.
RunSetup CommonSetup(const Context& context);

/// Runs `setup`: rounds at each Enter (or each board as it is put in with --start auto),
/// or one round without asking when `once` (program --job). Returns the exit status.
int RunProduction(Context& context, RunSetup setup, bool once);

}  // namespace otp::cli
