#pragma once

#include <string>

#include "cli/CliView.h"
#include "cli/Context.h"
#include "ops/Engine.h"
#include "ops/Unit.h"

namespace otp::cli {

/// The options every engine of the command line works with.
EngineOptions EngineOptionsOf(const Context& context);

/// The event that opens a port's job.
Json StartEvent(const Context& context, const CliView& view, const PortTarget& target);

/// What the operator can do about a Download that failed at the port itself: the port's
/// device and the system's reason, and how to get access to it.
void ExplainDownload(const Context& context, const CliView& view, const PortTarget& target,
                     const UnitResult& result);

/// The plan's counts, its map of the blocks and its conflicts.
void ShowPlan(const Context& context, const CliView& view, const BurnPlan& plan);

}  // namespace otp::cli
