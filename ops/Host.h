#pragma once

#include <string>

#include "ops/RecordStore.h"

namespace otp {

/// This process as a lease names it: the computer, its boot, the process and when it
/// began (so that a later process given the same id is not taken for it).
LeaseHolder ThisProcess(const std::string& owner, const std::string& station);

/// Whether the process that `holder` names has ended for certain, as this computer can
/// tell: it ran here, and this computer has booted since or the process is gone (or its
/// id now belongs to a process that began later). A process of another computer may live.
bool EndedHere(const LeaseHolder& holder);

}  // namespace otp
