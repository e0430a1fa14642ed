#pragma once

#include "cli/Context.h"
#include "ops/Production.h"

namespace otp::cli {

/// What every production run of the command line shares: the ports, the station, the
/// reset, the language and the monitor folders.
RunSetup CommonSetup(const Context& context);

/// Takes what --job names into `setup` (its image, rule, counter, model and clock for
/// every port), after the operator confirmed it when it asks for that. The exit status.
int LoadJob(Context& context, RunSetup& setup);

/// program --job: one unit of the job on every port, as a round of produce.
int RunJobUnit(Context& context);

/// Runs `setup`: rounds at each Enter (or each board as it is put in with --start auto),
/// or one round without asking when `once` (program --job). Returns the exit status.
int RunProduction(Context& context, RunSetup setup, bool once);

}  // namespace otp::cli
