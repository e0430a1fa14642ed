#include "ops/Journal.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

#include "core/Texts.h"
#include "core/Utf8Path.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace otp {

namespace {

constexpr const char* kSuffix = ".journal";
constexpr const char* kSetAside = ".set-aside";

struct StageName {
  JournalStage stage;
  const char* name;
};
constexpr StageName kStages[] = {{JournalStage::kBegun, "begun"},
                                 {JournalStage::kReserved, "reserved"},
                                 {JournalStage::kProgramming, "programming"},
                                 {JournalStage::kEnded, "ended"},
                                 {JournalStage::kConfirmed, "confirmed"}};

// Values are written with %XX for '%', blanks, control characters and '=': one line a
// unit, whatever its texts hold.
std::string Escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || c == '%' || c == '=' || byte == 0x7F) {
      char hex[4];
      std::snprintf(hex, sizeof(hex), "%%%02X", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

bool Unescape(const std::string& text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const std::string hex = text.substr(i + 1, 2);
    char* end = nullptr;
    const long value = std::strtol(hex.c_str(), &end, 16);
    if (*end != '\0') return false;
    out += static_cast<char>(value);
    i += 2;
  }
  return true;
}

template <typename T>
std::string Optional(const std::optional<T>& value) {
  return value ? std::to_string(*value) : std::string();
}

bool ParseUnsigned(const std::string& text, std::uint64_t& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(text.c_str(), &end, 10);
  return *end == '\0' && errno == 0;
}

#ifdef _WIN32
int OpenFile(const std::filesystem::path& path, bool create) {
  // Shared for deleting too: a journal is made under a name no start reads and renamed
  // while it is open and locked, and removed by its owner while it is open.
  const HANDLE file =
      ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    create ? CREATE_NEW : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD why = ::GetLastError();
    errno = why == ERROR_FILE_EXISTS                                     ? EEXIST
            : why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND ? ENOENT
                                                                         : EACCES;
    return -1;
  }
  const int handle = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_APPEND | _O_BINARY);
  if (handle < 0) ::CloseHandle(file);
  return handle;
}
bool TryLock(int handle) {
  // Locks on Windows keep other handles from the bytes they cover: the lock lies far
  // beyond the end of the file, where nobody reads.
  OVERLAPPED at{};
  at.Offset = 0xFFFFFFF0u;
  at.OffsetHigh = 0x7FFFFFFFu;
  return LockFileEx(reinterpret_cast<HANDLE>(_get_osfhandle(handle)),
                    LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}
void CloseFile(int handle) {
  ::_close(handle);
}
bool WriteThrough(int handle, const std::string& text) {
  if (::_write(handle, text.data(), static_cast<unsigned>(text.size())) !=
      static_cast<int>(text.size())) {
    return false;
  }
  return ::_commit(handle) == 0;
}
int ProcessId() {
  return _getpid();
}
int OpenToRead(const std::filesystem::path& path) {
  return ::_wopen(path.c_str(), _O_RDONLY | _O_BINARY);
}
int OpenToAppend(const std::filesystem::path& path) {
  return ::_wopen(path.c_str(), _O_CREAT | _O_WRONLY | _O_APPEND | _O_BINARY, _S_IREAD | _S_IWRITE);
}
// Whether the open file is a regular file, and its size.
bool RegularFile(int handle, std::uintmax_t& size) {
  struct _stat64 info {};
  if (::_fstat64(handle, &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) return false;
  size = static_cast<std::uintmax_t>(info.st_size);
  return true;
}
long long ReadAt(int handle, char* buffer, std::size_t count, std::uintmax_t offset) {
  if (::_lseeki64(handle, static_cast<long long>(offset), SEEK_SET) < 0) return -1;
  return ::_read(handle, buffer, static_cast<unsigned>(count));
}
bool Truncate(int handle) {
  return ::_chsize_s(handle, 0) == 0;
}
#else
int OpenFile(const std::filesystem::path& path, bool create) {
  return ::open(
      path.c_str(),
      (create ? O_CREAT | O_EXCL : 0) | O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
      0600);
}
bool TryLock(int handle) {
  return ::flock(handle, LOCK_EX | LOCK_NB) == 0;
}
void CloseFile(int handle) {
  ::close(handle);
}
bool WriteThrough(int handle, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(handle, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return ::fdatasync(handle) == 0;
}
int ProcessId() {
  return static_cast<int>(::getpid());
}
int OpenToRead(const std::filesystem::path& path) {
  // Never a link, and never a wait: a FIFO opened without O_NONBLOCK waits for a writer.
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
}
int OpenToAppend(const std::filesystem::path& path) {
  return ::open(path.c_str(), O_CREAT | O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
}
bool RegularFile(int handle, std::uintmax_t& size) {
  struct stat info {};
  if (::fstat(handle, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  size = static_cast<std::uintmax_t>(info.st_size);
  return true;
}
long long ReadAt(int handle, char* buffer, std::size_t count, std::uintmax_t offset) {
  while (true) {
    const ssize_t n = ::pread(handle, buffer, count, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}
bool Truncate(int handle) {
  return ::ftruncate(handle, 0) == 0;
}
#endif

// The lines of an open file, each at most Journal::kLongestLine long (a longer one is
// skipped), read in pieces: memory follows the longest line, not the file.
template <typename OnLine>
bool ForEachLine(int handle, std::uintmax_t size, OnLine onLine) {
  std::vector<char> buffer(64 * 1024);
  std::string line;
  bool overlong = false;
  std::uintmax_t offset = 0;
  while (offset < size) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uintmax_t>(buffer.size(), size - offset));
    const long long n = ReadAt(handle, buffer.data(), want, offset);
    if (n < 0) return false;
    if (n == 0) break;  // the file shrank
    offset += static_cast<std::uintmax_t>(n);
    for (long long i = 0; i < n; ++i) {
      const char c = buffer[static_cast<std::size_t>(i)];
      if (c == '\n') {
        if (!overlong) onLine(line);
        line.clear();
        overlong = false;
      } else if (line.size() < Journal::kLongestLine) {
        line += c;
      } else {
        overlong = true;
        line.clear();
      }
    }
  }
  // A last line without its end was cut short by a crash: it is no line.
  return true;
}

// The units of the open journal file that the store never confirmed: the last line of
// each. Nothing, with why, for a file that is no journal.
std::optional<std::vector<JournalEntry>> ReadUnconfirmed(int handle, Journal::Skipped::Why& why) {
  std::uintmax_t size = 0;
  if (!RegularFile(handle, size)) {
    why = Journal::Skipped::Why::kNotAFile;
    return std::nullopt;
  }
  if (size > Journal::kLargest) {
    why = Journal::Skipped::Why::kTooLarge;
    return std::nullopt;
  }
  std::map<std::string, JournalEntry> units;
  std::vector<std::string> order;
  const bool read = ForEachLine(handle, size, [&](const std::string& line) {
    JournalEntry entry;
    if (!Journal::ParseLine(line, entry)) return;
    if (!units.count(entry.unit.unitId)) order.push_back(entry.unit.unitId);
    units[entry.unit.unitId] = entry;
  });
  if (!read) {
    why = Journal::Skipped::Why::kUnreadable;
    return std::nullopt;
  }
  std::vector<JournalEntry> open;
  for (const std::string& id : order) {
    if (units[id].stage != JournalStage::kConfirmed) open.push_back(units[id]);
  }
  return open;
}

// Whether `path` is named as a journal is, or as one set aside.
bool IsJournalName(const std::filesystem::path& path) {
  return path.extension() == kSuffix;
}
bool IsSetAsideName(const std::filesystem::path& path) {
  return path.filename().string().find(std::string(kSuffix) + kSetAside) != std::string::npos;
}

}  // namespace

std::string Journal::NewOwner() {
  static std::mt19937_64 random(
      std::random_device{}() ^
      static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()));
  char text[48];
  std::snprintf(text, sizeof(text), "%d-%016llx", ProcessId(),
                static_cast<unsigned long long>(random()));
  return text;
}

std::string Journal::Line(JournalStage stage, const Attempt& u) {
  std::string line;
  for (const StageName& s : kStages) {
    if (s.stage == stage) line = s.name;
  }
  auto add = [&line](const char* key, const std::string& value) {
    line += ' ';
    line += key;
    line += '=';
    line += Escape(value);
  };
  add("unit", u.unitId);
  add("started", u.started);
  add("ended", u.ended);
  add("station", u.station);
  add("port", u.port);
  add("device", u.device);
  add("model", u.model);
  add("clock", u.clock);
  add("image", u.image);
  add("crc32", std::to_string(u.crc32));
  add("job", u.job);
  add("jobsum", u.jobSum);
  add("counter", u.counter);
  add("serial", Optional(u.serial));
  add("state", u.serialState ? SerialStateName(*u.serialState) : "");
  add("outcome", OutcomeName(u.outcome));
  add("verdict", VerdictName(u.verdict));
  add("lot", u.lot);
  add("reading", ReadModeName(u.reading));
  add("report", Optional(u.reportId));
  add("text", u.reportText);
  add("difference", Optional(u.firstDifference));
  add("block", Optional(u.failedBlock));
  add("seconds", Decimal(u.seconds, 3));
  return line + " end\n";
}

bool Journal::ParseLine(const std::string& line, JournalEntry& entry) {
  std::istringstream words(line);
  std::string word;
  if (!(words >> word)) return false;
  bool known = false;
  for (const StageName& s : kStages) {
    if (word == s.name) {
      entry.stage = s.stage;
      known = true;
    }
  }
  if (!known) return false;
  Attempt& u = entry.unit;
  u = Attempt{};
  bool ended = false;
  std::string result;  // lines of the release before outcomes
  std::string outcome;
  while (words >> word) {
    if (word == "end") {
      ended = true;
      break;
    }
    const auto equals = word.find('=');
    if (equals == std::string::npos) return false;
    const std::string key = word.substr(0, equals);
    std::string value;
    if (!Unescape(word.substr(equals + 1), value)) return false;
    std::uint64_t number = 0;
    const bool isNumber = ParseUnsigned(value, number);
    if (key == "unit")
      u.unitId = value;
    else if (key == "started")
      u.started = value;
    else if (key == "ended")
      u.ended = value;
    else if (key == "station")
      u.station = value;
    else if (key == "port")
      u.port = value;
    else if (key == "device")
      u.device = value;
    else if (key == "model")
      u.model = value;
    else if (key == "clock")
      u.clock = value;
    else if (key == "image")
      u.image = value;
    else if (key == "crc32" && isNumber)
      u.crc32 = static_cast<std::uint32_t>(number);
    else if (key == "job")
      u.job = value;
    else if (key == "jobsum")
      u.jobSum = value;
    else if (key == "counter")
      u.counter = value;
    else if (key == "serial" && isNumber)
      u.serial = number;
    else if (key == "state")
      u.serialState = SerialStateNamed(value);
    else if (key == "result")
      result = value;
    else if (key == "outcome")
      outcome = value;
    else if (key == "verdict")
      u.verdict = VerdictNamed(value.c_str()).value_or(UnitVerdict::kPass);
    else if (key == "lot")
      u.lot = value;
    else if (key == "reading")
      u.reading = ReadModeNamed(value).value_or(ReadMode::kArea);
    else if (key == "report" && isNumber)
      u.reportId = static_cast<unsigned>(number);
    else if (key == "text")
      u.reportText = value;
    else if (key == "difference" && isNumber)
      u.firstDifference = static_cast<std::uint32_t>(number);
    else if (key == "block" && isNumber)
      u.failedBlock = static_cast<std::uint32_t>(number);
    else if (key == "seconds")
      std::from_chars(value.data(), value.data() + value.size(), u.seconds);
  }
  u.outcome = OutcomeNamed(outcome).value_or(LegacyOutcome(result, u.verdict, u.serialState));
  return ended && !u.unitId.empty();
}

Journal::Journal(std::filesystem::path folder, std::string owner, int handle)
    : folder_(std::move(folder)), owner_(std::move(owner)), handle_(handle) {}

std::unique_ptr<Journal> Journal::Open(const std::filesystem::path& folder,
                                       const std::string& owner, std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  // Made and locked under a name no start reads, then given its journal's name: another
  // start never sees it unlocked.
  const std::filesystem::path path = folder / (owner + kSuffix);
  const std::filesystem::path making = folder / (owner + kSuffix + "-new");
  const int handle = OpenFile(making, true);
  if (handle < 0) {
    error = Utf8FromPath(making) + ": " + std::strerror(errno);
    return nullptr;
  }
  if (beforeLock) beforeLock();
  if (!TryLock(handle)) {
    error = Utf8FromPath(making) + ": cannot be locked";
    CloseFile(handle);
    std::filesystem::remove(making, ec);
    return nullptr;
  }
  std::filesystem::rename(making, path, ec);
  if (ec) {
    error = Utf8FromPath(path) + ": " + ec.message();
    CloseFile(handle);
    std::filesystem::remove(making, ec);
    return nullptr;
  }
  return std::unique_ptr<Journal>(new Journal(folder, owner, handle));
}

Journal::~Journal() {
  for (std::size_t i = 0; i < takenOver_.size(); ++i)
    CloseFile(takenOver_[i]);
  std::error_code ec;
  if (Unconfirmed().empty() && !keep_) std::filesystem::remove(folder_ / (owner_ + kSuffix), ec);
  CloseFile(handle_);
}

void Journal::Keep() {
  const std::lock_guard lock(mutex_);
  keep_ = true;
}

bool Journal::Write(JournalStage stage, const Attempt& unit, std::string& error) {
  const std::lock_guard lock(mutex_);
  const std::filesystem::path path = folder_ / (owner_ + kSuffix);
  if (beforeWrite && !beforeWrite(stage)) {
    error = Utf8FromPath(path) + ": " + std::strerror(ENOSPC);
    return false;
  }
  if (!WriteThrough(handle_, Line(stage, unit))) {
    error = Utf8FromPath(path) + ": " + std::strerror(errno);
    return false;
  }
  // A confirmed unit is the store's alone: a long run keeps only the units in flight,
  // and a file whose every unit is confirmed begins again once it has grown.
  if (stage == JournalStage::kConfirmed) {
    units_.erase(unit.unitId);
    std::uintmax_t size = 0;
    if (units_.empty() && RegularFile(handle_, size) && size > kRestart) Truncate(handle_);
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
    std::error_code statusError;
    if (!std::filesystem::is_regular_file(item.symlink_status(statusError))) {
      skip(Skipped::Why::kNotAFile);
      continue;
    }
    const int handle = OpenFile(path, false);
    if (handle < 0) {
      skip(Skipped::Why::kUnreadable);
      continue;
    }
    if (!TryLock(handle)) {  // its process is alive
      CloseFile(handle);
      continue;
    }
    Skipped::Why why{};
    auto units = ReadUnconfirmed(handle, why);
    if (!units) {
      CloseFile(handle);
      skip(why);
      continue;
    }
    takenOver_.push_back(handle);
    takenOverPaths_.push_back(path);
    orphans.push_back(Orphan{path, std::move(*units)});
  }
  return orphans;
}

void Journal::Forget(const Orphan& orphan) {
  const std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < takenOverPaths_.size(); ++i) {
    if (takenOverPaths_[i] != orphan.file) continue;
    std::error_code ec;
    std::filesystem::remove(orphan.file, ec);
    CloseFile(takenOver_[i]);
    takenOver_.erase(takenOver_.begin() + static_cast<std::ptrdiff_t>(i));
    takenOverPaths_.erase(takenOverPaths_.begin() + static_cast<std::ptrdiff_t>(i));
    return;
  }
}

std::filesystem::path Journal::PutAside(const Orphan& orphan) {
  const std::lock_guard lock(mutex_);
  for (std::size_t i = 0; i < takenOverPaths_.size(); ++i) {
    if (takenOverPaths_[i] != orphan.file) continue;
    // Renamed while still locked: no other start takes it over meanwhile.
    std::filesystem::path aside = orphan.file;
    aside += kSetAside;
    std::error_code ec;
    for (int n = 2; std::filesystem::exists(aside, ec) && n < 1000; ++n) {
      aside = orphan.file;
      aside += std::string(kSetAside) + "-" + std::to_string(n);
    }
    std::filesystem::rename(orphan.file, aside, ec);
    CloseFile(takenOver_[i]);
    takenOver_.erase(takenOver_.begin() + static_cast<std::ptrdiff_t>(i));
    takenOverPaths_.erase(takenOverPaths_.begin() + static_cast<std::ptrdiff_t>(i));
    return ec ? std::filesystem::path() : aside;
  }
  return {};
}

bool Journal::PutAside(const JournalEntry& entry, std::string& error) {
  {
    const std::lock_guard lock(mutex_);
    std::filesystem::path aside = folder_ / (owner_ + kSuffix);
    aside += kSetAside;
    const int handle = OpenToAppend(aside);
    if (handle < 0 || !WriteThrough(handle, Line(entry.stage, entry.unit))) {
      error = Utf8FromPath(aside) + ": " + std::strerror(errno);
      if (handle >= 0) CloseFile(handle);
      return false;
    }
    CloseFile(handle);
  }
  return Write(JournalStage::kConfirmed, entry.unit, error);
}

std::size_t Journal::Adopt(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::error_code ec;
  if (from.empty() || !std::filesystem::is_directory(from, ec) ||
      std::filesystem::equivalent(from, to, ec)) {
    return 0;
  }
  std::filesystem::create_directories(to, ec);
  std::size_t moved = 0;
  for (const auto& item : std::filesystem::directory_iterator(from, ec)) {
    const std::filesystem::path path = item.path();
    std::error_code statusError;
    if (!IsJournalName(path) ||
        !std::filesystem::is_regular_file(item.symlink_status(statusError))) {
      continue;
    }
    const int handle = OpenFile(path, false);
    if (handle < 0) continue;
    // Moved while locked: a journal whose process lives stays where it is.
    if (TryLock(handle)) {
      std::error_code renamed;
      std::filesystem::rename(path, to / path.filename(), renamed);
      moved += renamed ? 0 : 1;
    }
    CloseFile(handle);
  }
  return moved;
}

bool Journal::Alive(const std::filesystem::path& folder, const std::string& owner) {
  if (owner.empty()) return false;
  const int handle = OpenFile(folder / (owner + kSuffix), false);
  if (handle < 0) return false;  // no journal: nobody holds it
  const bool free = TryLock(handle);
  CloseFile(handle);  // releases the lock just taken
  return !free;
}

std::vector<JournalEntry> Journal::Peek(const std::filesystem::path& folder,
                                        std::vector<Skipped>* skipped,
                                        std::vector<SetAside>* setAside) {
  std::vector<JournalEntry> open;
  std::error_code ec;
  for (const auto& item : std::filesystem::directory_iterator(folder, ec)) {
    const std::filesystem::path path = item.path();
    const bool aside = IsSetAsideName(path);
    if (!IsJournalName(path) && !aside) continue;
    auto skip = [&](Skipped::Why why) {
      if (skipped) skipped->push_back(Skipped{path, why});
    };
    std::error_code statusError;
    if (!std::filesystem::is_regular_file(item.symlink_status(statusError))) {
      skip(Skipped::Why::kNotAFile);
      continue;
    }
    const int handle = OpenToRead(path);
    if (handle < 0) {
      skip(Skipped::Why::kUnreadable);
      continue;
    }
    Skipped::Why why{};
    auto units = ReadUnconfirmed(handle, why);
    CloseFile(handle);
    if (!units) {
      skip(why);
    } else if (aside) {
      if (setAside && !units->empty()) setAside->push_back(SetAside{path, std::move(*units)});
    } else {
      for (JournalEntry& entry : *units)
        open.push_back(std::move(entry));
    }
  }
  return open;
}

}  // namespace otp
