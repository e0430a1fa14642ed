#pragma once

#include "cli/Context.h"
#include "ops/Station.h"

namespace otp::cli {

/// program --job: one unit of the job on every port, as a round of produce.
int RunJobUnit(Context& context);

/// Runs the station `prepared`: rounds at each Enter (or each board as it is put in with
/// --start auto), or one round without asking when `once` (program --job). Returns the
/// exit status.
int RunProduction(Context& context, const PreparedStation& prepared, bool once);

}  // namespace otp::cli
