#include "ops/journal/Journal.h"

#include <chrono>
#include <cstdio>
#include <random>
#include <system_error>

#include "core/Utf8Path.h"

namespace otp {

namespace {

constexpr const char* kSuffix = ".journal";
constexpr const char* kSetAside = ".set-aside";
constexpr const char* kDamaged = ".damaged";

// The lines of an open file, each at most Journal::kLongestLine long, read in pieces:
// memory follows the longest line, not the file. False when it cannot be read.
bool ReadLines(JournalFile& file, std::uintmax_t size, JournalReader& reader) {
  std::vector<char> buffer(64 * 1024);
  std::string line;
  bool overlong = false;
  std::uintmax_t offset = 0;
  while (offset < size) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uintmax_t>(buffer.size(), size - offset));
    const long long n = file.ReadAt(buffer.data(), want, offset);
    if (n < 0) return false;
    if (n == 0) break;  // the file shrank
    offset += static_cast<std::uintmax_t>(n);
    for (long long i = 0; i < n; ++i) {
      const char c = buffer[static_cast<std::size_t>(i)];
      if (c == '\n') {
        overlong ? reader.TakeOverlong() : reader.Take(line, true);
        line.clear();
        overlong = false;
      } else if (overlong) {
        continue;
      } else if (line.size() < Journal::kLongestLine) {
        line += c;
      } else {
        overlong = true;
        line.clear();
      }
    }
  }
  // A last line without its end was cut short.
  if (overlong) {
    reader.TakeOverlong();
  } else if (!line.empty()) {
    reader.Take(line, false);
  }
  return true;
}

// What the open journal file holds; nothing, with why, for a file that is no journal.
std::optional<JournalContents> ReadFile(JournalFile& file, Journal::Skipped::Why& why) {
  std::uintmax_t size = 0;
  if (!file.Regular(size)) {
    why = Journal::Skipped::Why::kNotAFile;
    return std::nullopt;
  }
  if (size > Journal::kLargest) {
    why = Journal::Skipped::Why::kTooLarge;
    return std::nullopt;
  }
  JournalReader reader;
  if (!ReadLines(file, size, reader)) {
    why = Journal::Skipped::Why::kUnreadable;
    return std::nullopt;
  }
  return reader.Finish();
}

bool IsJournalName(const std::filesystem::path& path) {
  return path.extension() == kSuffix;
}
bool IsSetAsideName(const std::filesystem::path& path) {
  return path.filename().string().find(std::string(kSuffix) + kSetAside) != std::string::npos;
}
bool IsDamagedName(const std::filesystem::path& path) {
  return path.filename().string().find(std::string(kSuffix) + kDamaged) != std::string::npos;
}

bool IsRegular(const std::filesystem::directory_entry& item) {
  std::error_code ec;
  return std::filesystem::is_regular_file(item.symlink_status(ec));
}

}  // namespace

std::string Journal::NewOwner(JournalDisk& disk) {
  static std::mt19937_64 random(
      std::random_device{}() ^
      static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()));
  char text[48];
  std::snprintf(text, sizeof(text), "%d-%016llx", disk.ProcessId(),
                static_cast<unsigned long long>(random()));
  return text;
}

Journal::Journal(std::filesystem::path folder, std::string owner, std::unique_ptr<JournalFile> file,
                 JournalDisk& disk)
    : folder_(std::move(folder)), owner_(std::move(owner)), disk_(disk), file_(std::move(file)) {}

std::unique_ptr<Journal> Journal::Open(const std::filesystem::path& folder,
                                       const std::string& owner, std::string& error,
                                       JournalDisk& disk) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  // Made and locked under a name no start reads, then given its journal's name: another
  // start never sees it unlocked.
  const std::filesystem::path path = folder / (owner + kSuffix);
  const std::filesystem::path making = folder / (owner + kSuffix + "-new");
  std::string why;
  auto file = disk.Open(making, JournalDisk::Mode::kCreate, why);
  if (!file) {
    error = Utf8FromPath(making) + ": " + why;
    return nullptr;
  }
  auto fail = [&](const std::string& what) -> std::unique_ptr<Journal> {
    error = what;
    file.reset();
    std::filesystem::remove(making, ec);
    return nullptr;
  };
  if (!file->TryLock()) return fail(Utf8FromPath(making) + ": cannot be locked");
  if (!file->Append(JournalHeader(), why)) return fail(Utf8FromPath(making) + ": " + why);
  std::filesystem::rename(making, path, ec);
  if (ec) return fail(Utf8FromPath(path) + ": " + ec.message());
  return std::unique_ptr<Journal>(new Journal(folder, owner, std::move(file), disk));
}

Journal::~Journal() {
  takenOver_.clear();
  std::error_code ec;
  if (Unconfirmed().empty() && !keep_) std::filesystem::remove(folder_ / (owner_ + kSuffix), ec);
  file_.reset();
}

void Journal::Keep() {
  const std::lock_guard lock(mutex_);
  keep_ = true;
}

bool Journal::Write(JournalStage stage, const Attempt& unit, std::string& error) {
  const std::lock_guard lock(mutex_);
  std::string why;
  if (!file_->Append(JournalLine(stage, unit), why)) {
    error = Utf8FromPath(folder_ / (owner_ + kSuffix)) + ": " + why;
    return false;
  }
  // A confirmed unit is the store's alone: a long run keeps only the units in flight,
  // and a file whose every unit is confirmed begins again, with its header, once it has
  // grown.
  if (stage == JournalStage::kConfirmed) {
    units_.erase(unit.unitId);
    std::uintmax_t size = 0;
    if (units_.empty() && file_->Regular(size) && size > kRestart && file_->Truncate()) {
      file_->Append(JournalHeader(), why);
    }
  } else {
    units_[unit.unitId] = JournalEntry{stage, unit};
  }
  return true;
}

std::vector<JournalEntry> Journal::Unconfirmed() const {
  const std::lock_guard lock(mutex_);
  std::vector<JournalEntry> open;
  for (const auto& [id, entry] : units_) {
    if (entry.stage != JournalStage::kConfirmed) open.push_back(entry);
  }
  return open;
}

std::vector<Journal::Orphan> Journal::TakeOver(std::vector<Skipped>* skipped) {
  const std::lock_guard lock(mutex_);
  std::vector<Orphan> orphans;
  std::error_code ec;
  for (const auto& item : std::filesystem::directory_iterator(folder_, ec)) {
    const std::filesystem::path path = item.path();
    if (!IsJournalName(path) || path.stem() == owner_) continue;
    auto skip = [&](Skipped::Why why) {
      if (skipped) skipped->push_back(Skipped{path, why});
    };
    if (!IsRegular(item)) {
      skip(Skipped::Why::kNotAFile);
      continue;
    }
    std::string error;
    auto file = disk_.Open(path, JournalDisk::Mode::kOpen, error);
    if (!file) {
      skip(Skipped::Why::kUnreadable);
      continue;
    }
    if (!file->TryLock()) continue;  // its process is alive
    Skipped::Why why{};
    auto contents = ReadFile(*file, why);
    if (!contents) {
      skip(why);
      continue;
    }
    takenOver_[path] = std::move(file);
    orphans.push_back(
        Orphan{path, std::move(contents->open), contents->damage, std::move(contents->numbers)});
  }
  return orphans;
}

void Journal::Forget(const Orphan& orphan) {
  const std::lock_guard lock(mutex_);
  const auto taken = takenOver_.find(orphan.file);
  if (taken == takenOver_.end()) return;
  std::error_code ec;
  std::filesystem::remove(orphan.file, ec);
  takenOver_.erase(taken);
}

std::filesystem::path Journal::PutAside(const Orphan& orphan, Aside why) {
  const std::lock_guard lock(mutex_);
  const auto taken = takenOver_.find(orphan.file);
  if (taken == takenOver_.end()) return {};
  // Renamed while still locked: no other start takes it over meanwhile.
  const std::string ending = why == Aside::kDamaged ? kDamaged : kSetAside;
  std::filesystem::path aside = orphan.file;
  aside += ending;
  std::error_code ec;
  for (int n = 2; std::filesystem::exists(aside, ec) && n < 1000; ++n) {
    aside = orphan.file;
    aside += ending + "-" + std::to_string(n);
  }
  std::filesystem::rename(orphan.file, aside, ec);
  takenOver_.erase(taken);
  return ec ? std::filesystem::path() : aside;
}

bool Journal::PutAside(const JournalEntry& entry, std::string& error) {
  {
    const std::lock_guard lock(mutex_);
    std::filesystem::path aside = folder_ / (owner_ + kSuffix);
    aside += kSetAside;
    std::string why;
    auto file = disk_.Open(aside, JournalDisk::Mode::kAppend, why);
    std::uintmax_t size = 0;
    // A set-aside file is a journal too: it begins with the header.
    const bool fresh = file && file->Regular(size) && size == 0;
    if (!file || (fresh && !file->Append(JournalHeader(), why)) ||
        !file->Append(JournalLine(entry.stage, entry.unit), why)) {
      error = Utf8FromPath(aside) + ": " + why;
      return false;
    }
  }
  return Write(JournalStage::kConfirmed, entry.unit, error);
}

std::size_t Journal::Adopt(const std::filesystem::path& from, const std::filesystem::path& to,
                           JournalDisk& disk) {
  std::error_code ec;
  if (from.empty() || !std::filesystem::is_directory(from, ec) ||
      std::filesystem::equivalent(from, to, ec)) {
    return 0;
  }
  std::filesystem::create_directories(to, ec);
  std::size_t moved = 0;
  for (const auto& item : std::filesystem::directory_iterator(from, ec)) {
    const std::filesystem::path path = item.path();
    if (!IsJournalName(path) || !IsRegular(item)) continue;
    std::string error;
    const auto file = disk.Open(path, JournalDisk::Mode::kOpen, error);
    // Moved while locked: a journal whose process lives stays where it is.
    if (file && file->TryLock()) {
      std::error_code renamed;
      std::filesystem::rename(path, to / path.filename(), renamed);
      moved += renamed ? 0 : 1;
    }
  }
  return moved;
}

bool Journal::Alive(const std::filesystem::path& folder, const std::string& owner,
                    JournalDisk& disk) {
  if (owner.empty()) return false;
  std::string error;
  const auto file = disk.Open(folder / (owner + kSuffix), JournalDisk::Mode::kOpen, error);
  if (!file) return false;  // no journal: nobody holds it
  return !file->TryLock();  // the lock just taken is released as the file closes
}

std::optional<JournalContents> Journal::Read(const std::filesystem::path& path, Skipped::Why& why,
                                             JournalDisk& disk) {
  std::string error;
  const auto file = disk.Open(path, JournalDisk::Mode::kRead, error);
  if (!file) {
    why = Skipped::Why::kUnreadable;
    return std::nullopt;
  }
  return ReadFile(*file, why);
}

std::vector<JournalEntry> Journal::Peek(const std::filesystem::path& folder,
                                        std::vector<Skipped>* skipped,
                                        std::vector<SetAside>* setAside,
                                        std::vector<SetAside>* damaged, JournalDisk& disk) {
  std::vector<JournalEntry> open;
  std::error_code ec;
  for (const auto& item : std::filesystem::directory_iterator(folder, ec)) {
    const std::filesystem::path path = item.path();
    const bool aside = IsSetAsideName(path) || IsDamagedName(path);
    if (!IsJournalName(path) && !aside) continue;
    auto skip = [&](Skipped::Why why) {
      if (skipped) skipped->push_back(Skipped{path, why});
    };
    if (!IsRegular(item)) {
      skip(Skipped::Why::kNotAFile);
      continue;
    }
    Skipped::Why why{};
    auto contents = Read(path, why, disk);
    if (!contents) {
      skip(why);
    } else if (aside) {
      if (setAside && (contents->damage || !contents->open.empty())) {
        setAside->push_back(SetAside{path, std::move(contents->open), contents->damage});
      }
    } else if (contents->damage) {
      if (damaged) damaged->push_back(SetAside{path, {}, contents->damage});
    } else {
      for (JournalEntry& entry : contents->open)
        open.push_back(std::move(entry));
    }
  }
  return open;
}

}  // namespace otp
