#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ops/RecordStore.h"

namespace otp {

/// How far a unit had come when its journal line was written.
enum class JournalStage {
  kBegun,        // the unit started: nothing sent to the part
  kReserved,     // it holds a serial number: nothing programmed yet
  kProgramming,  // its first program block is about to be sent
  kEnded,        // its outcome is known; the store has not confirmed it yet
  kConfirmed,    // the store holds the attempt
};

/// The last line of a unit in a journal.
struct JournalEntry {
  JournalStage stage = JournalStage::kBegun;
  Attempt unit;
};

/// What a station learned about its units, on the local disk before the store hears of
/// it, so that nothing learned is lost to a store that fails or a process that dies.
/// Each process appends to a file of its own in a folder beside the store, written
/// through to disk line by line, and holds a lock on it while it lives: a file whose lock
/// is free belongs to a process that is gone, and a later start replays what the store
/// never confirmed. Every method may be called from any thread.
class Journal {
 public:
  /// Opens (making it) `folder` and a new file in it for `owner`, locked. Null, with
  /// `error`, when that fails.
  static std::unique_ptr<Journal> Open(const std::filesystem::path& folder,
                                       const std::string& owner, std::string& error);
  /// Unlocks the file, and removes it when the store has confirmed all of it (and it was
  /// not asked to stay).
  ~Journal();
  /// The file stays when this process ends, whatever it holds: numbers it held may still
  /// be reserved, and a later start learns from it that no unit took them.
  void Keep();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  const std::string& owner() const { return owner_; }

  /// Appends the unit as far as it is known, at `stage`, and waits until it is on disk.
  bool Write(JournalStage stage, const Attempt& unit, std::string& error);
  /// This process's units that the store has not confirmed, the last line of each.
  std::vector<JournalEntry> Unconfirmed() const;

  /// The journals of processes that are gone: each file, locked by this process now,
  /// with its units that were not confirmed.
  struct Orphan {
    std::filesystem::path file;
    std::vector<JournalEntry> units;
  };
  /// What lies in a journal folder and is not read as a journal.
  struct Skipped {
    enum class Why {
      kNotAFile,    // a link, a FIFO, a device, a folder: never opened
      kTooLarge,    // larger than any journal (kLargest)
      kUnreadable,  // it could not be opened or read
    };
    std::filesystem::path file;
    Why why = Why::kNotAFile;
  };
  /// A journal set aside: the store refused what it holds; kept for a person to check.
  struct SetAside {
    std::filesystem::path file;
    std::vector<JournalEntry> units;
  };
  /// Takes over the journals of gone processes; what is no journal goes to `skipped`.
  std::vector<Orphan> TakeOver(std::vector<Skipped>* skipped = nullptr);
  /// Removes a file taken over, once the store holds all of its units.
  void Forget(const Orphan& orphan);
  /// Renames a file taken over so that no start replays it again, and unlocks it: the
  /// store refused its units. Returns its new name (empty when it could not be renamed:
  /// it is then left as it is).
  std::filesystem::path PutAside(const Orphan& orphan);
  /// Moves this process's own unconfirmed `entry` into its set-aside file and marks it
  /// done here: the store refused it. False when that could not be written.
  bool PutAside(const JournalEntry& entry, std::string& error);

  /// Moves the journals of gone processes from `from` (where an earlier release kept
  /// them) into `to`, where the next start takes them over; returns how many.
  static std::size_t Adopt(const std::filesystem::path& from, const std::filesystem::path& to);

  /// Whether the process `owner` holds its journal in `folder` (false when it is gone).
  static bool Alive(const std::filesystem::path& folder, const std::string& owner);
  /// Every unit that a journal in `folder` holds and no confirmation follows, from live
  /// and gone processes alike; reads only. What is no journal goes to `skipped`, journals
  /// set aside to `setAside`.
  static std::vector<JournalEntry> Peek(const std::filesystem::path& folder,
                                        std::vector<Skipped>* skipped = nullptr,
                                        std::vector<SetAside>* setAside = nullptr);

  /// The largest file read as a journal; a journal whose units are all confirmed starts
  /// again empty once it passes kRestart.
  static constexpr std::uintmax_t kLargest = std::uintmax_t{256} << 20;
  static constexpr std::uintmax_t kRestart = std::uintmax_t{1} << 20;
  /// The longest line read; a longer one is no journal line.
  static constexpr std::size_t kLongestLine = 64 * 1024;
  /// Test hook: runs before each line is written, with its stage; false makes the write
  /// fail as a full disk would.
  std::function<bool(JournalStage)> beforeWrite;
  /// Test hook: runs in Open between making a journal's file and locking it.
  static inline std::function<void()> beforeLock;

  /// A new owner name: the process and a random part, unique among processes.
  static std::string NewOwner();

  /// One line of a journal, and back (for tests and tools).
  static std::string Line(JournalStage stage, const Attempt& unit);
  static bool ParseLine(const std::string& line, JournalEntry& entry);

 private:
  Journal(std::filesystem::path folder, std::string owner, int handle);

  mutable std::mutex mutex_;
  std::filesystem::path folder_;
  std::string owner_;
  bool keep_ = false;
  int handle_;                                 // the open file, locked
  std::map<std::string, JournalEntry> units_;  // by unit id, the last line of each unconfirmed one
  std::vector<int> takenOver_;  // handles of files taken over, locked until forgotten
  std::vector<std::filesystem::path> takenOverPaths_;
};

}  // namespace otp
