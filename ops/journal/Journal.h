#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ops/RecordStore.h"
#include "ops/journal/File.h"
#include "ops/journal/Line.h"

namespace otp {

/// What a station learned about its units, on the local disk before the store hears of
/// it, so that nothing learned is lost to a store that fails or a process that dies.
/// Each process appends to a file of its own in a folder beside the store, written
/// through to disk line by line, each line with its checksum, and holds a lock on it
/// while it lives: a file whose lock is free belongs to a process that is gone, and a
/// later start replays what the store never confirmed. A journal with a damaged line is
/// replayed as nothing. Every method may be called from any thread.
class Journal {
 public:
  /// Opens (making it) `folder` and a new file in it for `owner`, locked, on `disk`.
  /// Null, with `error`, when that fails.
  static std::unique_ptr<Journal> Open(const std::filesystem::path& folder,
                                       const std::string& owner, std::string& error,
                                       JournalDisk& disk = SystemJournalDisk());
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

  /// The journal of a process that is gone, locked by this process now: its units that
  /// were not confirmed, or the damage that makes none of it proof.
  struct Orphan {
    std::filesystem::path file;
    std::vector<JournalEntry> units;
    std::optional<JournalDamage> damage;
    /// Every serial number its lines name, as far as they can be read.
    std::set<std::pair<std::string, std::uint64_t>> numbers;
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
  /// A journal set aside for a person to check: the store refused what it holds, or a
  /// line of it is damaged.
  struct SetAside {
    std::filesystem::path file;
    std::vector<JournalEntry> units;
    std::optional<JournalDamage> damage;
  };
  /// Takes over the journals of gone processes; what is no journal goes to `skipped`.
  std::vector<Orphan> TakeOver(std::vector<Skipped>* skipped = nullptr);
  /// Removes a file taken over, once the store holds all of its units.
  void Forget(const Orphan& orphan);
  /// Why a journal taken over is set aside.
  enum class Aside {
    kRefused,  // the store refused its units: ".set-aside"
    kDamaged,  // a line of it is damaged: ".damaged"
  };
  /// Renames a file taken over so that no start replays it again, and unlocks it.
  /// Returns its new name (empty when it could not be renamed: it is then left as it is).
  std::filesystem::path PutAside(const Orphan& orphan, Aside why);
  /// Moves this process's own unconfirmed `entry` into its set-aside file and marks it
  /// done here: the store refused it. False when that could not be written.
  bool PutAside(const JournalEntry& entry, std::string& error);

  /// Moves the journals of gone processes from `from` (where an earlier release kept
  /// them) into `to`, where the next start takes them over; returns how many.
  static std::size_t Adopt(const std::filesystem::path& from, const std::filesystem::path& to,
                           JournalDisk& disk = SystemJournalDisk());

  /// Whether the process `owner` holds its journal in `folder` (false when it is gone).
  static bool Alive(const std::filesystem::path& folder, const std::string& owner,
                    JournalDisk& disk = SystemJournalDisk());
  /// Every unit that a journal in `folder` holds and no confirmation follows, from live
  /// and gone processes alike; reads only. What is no journal goes to `skipped`, journals
  /// set aside (refused or damaged) to `setAside`, a damaged journal that no start has
  /// set aside yet to `damaged`.
  static std::vector<JournalEntry> Peek(const std::filesystem::path& folder,
                                        std::vector<Skipped>* skipped = nullptr,
                                        std::vector<SetAside>* setAside = nullptr,
                                        std::vector<SetAside>* damaged = nullptr,
                                        JournalDisk& disk = SystemJournalDisk());
  /// Reads one journal file, whatever its name: what it holds, or why it cannot be read.
  static std::optional<JournalContents> Read(const std::filesystem::path& file, Skipped::Why& why,
                                             JournalDisk& disk = SystemJournalDisk());

  /// The largest file read as a journal; a journal whose units are all confirmed starts
  /// again empty once it passes kRestart.
  static constexpr std::uintmax_t kLargest = std::uintmax_t{256} << 20;
  static constexpr std::uintmax_t kRestart = std::uintmax_t{1} << 20;
  /// The longest line read; a longer one is no journal line.
  static constexpr std::size_t kLongestLine = 64 * 1024;

  /// A new owner name: the process and a random part, unique among processes.
  static std::string NewOwner(JournalDisk& disk = SystemJournalDisk());

 private:
  Journal(std::filesystem::path folder, std::string owner, std::unique_ptr<JournalFile> file,
          JournalDisk& disk);

  mutable std::mutex mutex_;
  std::filesystem::path folder_;
  std::string owner_;
  JournalDisk& disk_;
  bool keep_ = false;
  std::unique_ptr<JournalFile> file_;          // the open file, locked
  std::map<std::string, JournalEntry> units_;  // by unit id, the last line of each unconfirmed one
  // Files taken over, locked until forgotten or set aside.
  std::map<std::filesystem::path, std::unique_ptr<JournalFile>> takenOver_;
};

}  // namespace otp
