#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/Catalogue.h"
#include "core/Clock.h"
#include "ops/StoreService.h"
#include "ops/journal/Journal.h"
#include "ops/production/RunTypes.h"
#include "ops/production/Wakeup.h"

namespace otp::production {

/// The records of a run's units on their way: on the disk first, then to the store in
/// order, each once; the store's answers written back into the journal; the units that
/// neither holds tried again; the units the store refused kept aside. Its lock is held
/// by no one else; any thread.
class RecordSettler {
 public:
  /// How long a unit's end waits for the store to confirm its record.
  static constexpr std::chrono::milliseconds kSettleWait{2000};

  RecordSettler(StoreService& store, Journal& journal, Clock& clock, std::weak_ptr<Wakeup> wake,
                Language language);
  RecordSettler(const RecordSettler&) = delete;
  RecordSettler& operator=(const RecordSettler&) = delete;

  /// What became of one record.
  struct Settled {
    RecordPlace place = RecordPlace::kNowhere;
    bool journaled = false;
    std::string journalError;  // why the journal does not hold it
    std::string storeError;    // why the store does not (yet)
  };
  /// A unit's record: in the journal, then to the store, waiting at most kSettleWait
  /// for its answer (a store known to be away is not waited for).
  Settled Settle(const Attempt& record);
  /// Sends the store what the journal holds and it does not, and writes to the journal
  /// what only memory holds, when the disk takes it again.
  void PostPending();
  /// Writes the store's answers that no unit waited for into the journal: whether any
  /// came.
  bool ApplyAnswers();
  /// Records the journal holds and the store does not yet, and those only memory holds.
  std::size_t Waiting() const;
  std::vector<Attempt> Unsaved() const;
  /// The units the store refused since the last call.
  std::vector<std::pair<Attempt, std::string>> TakeRefused();
  /// Ends any wait for an answer.
  void Close();
  /// The store went away or came back: a unit that waits for its answer looks again.
  void StoreChanged();

 private:
  struct Shared;  // what the store's answers reach, perhaps after the run is gone
  void Answered(const Attempt& record, const StoreError& answer);

  StoreService& store_;
  Journal& journal_;
  Clock& clock_;
  std::weak_ptr<Wakeup> wake_;
  Language language_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace otp::production
