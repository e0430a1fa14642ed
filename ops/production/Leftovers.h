#pragma once

#include "core/Catalogue.h"
#include "ops/StoreService.h"
#include "ops/journal/Journal.h"
#include "ops/production/RunTypes.h"

namespace otp::production {

/// Records what stopped stations left, as far as it can be known: the journals here of
/// processes that are gone (their units recorded as their journals say, the numbers no
/// unit took given back; a damaged journal replayed as nothing, its station's numbers
/// spoiled and the file set aside), and the numbers of owners gone elsewhere (recorded
/// as guesses, spoiled). Tells `report` what it did. False, with `error`, when the store
/// failed: the start cannot go on.
bool SettleLeftovers(StoreService& store, Journal& journal, Language language, StartReport& report,
                     StoreError& error);

/// How a unit that never ended is recorded, by how far its journal says it came: its
/// station stopped, and the journal is exact about what reached the part.
Attempt Replayed(const JournalEntry& entry, Language language);

}  // namespace otp::production
