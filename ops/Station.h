#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ops/Production.h"
#include "ops/Setup.h"
#include "ops/StoreService.h"
#include "ops/job/Job.h"

namespace otp {

/// What the operator chose for a station, as a face gathers it: a job, or an image file
/// with its serial rule and counter; the ports; the station's name, its lot.
struct StationChoices {
  std::vector<PortTarget> ports;  // the face's model and speed; a job's replace them
  std::string jobFile;            // a job, or
  std::string imageFile;          // an image file and the choices below
  std::optional<std::uint32_t> binaryBase;
  std::string serial;  // "ADDR:FORMAT", or empty for none
  std::string counter;
  std::optional<std::uint64_t> serialStart;
  std::optional<std::uint64_t> serialStep;
  bool resume = false;
  ResetMethod reset{ResetMethod::Kind::kNone, {}};
  std::optional<ReadMode> reading;  // a job's, unless given
  std::string station;              // empty: this computer's name
  std::string lot;                  // a job's, unless given
  std::optional<std::uint64_t> quantity;
  std::optional<std::chrono::seconds> blockTime;
  int retries = 2;
  Language language = Language::kEnglish;
  std::string moduleDir;
  std::vector<std::string> monitorDirs;
};

/// A station's run prepared from the operator's choices, or why it cannot be.
struct PreparedStation {
  enum class Problem {
    kNone,
    kUsage,  // the choices contradict each other (an option the job does not allow)
    kFile,   // the job or the image cannot be used, or the rule cannot place numbers
  };
  Problem problem = Problem::kNone;
  std::string message;  // in the operator's language
  RunSetup setup;
  std::optional<Job> job;  // the job burned, when there is one
};

/// Reads the job (checked as `job create` checks it) or the image, its CRC-32 and the
/// serial rule and its place: the one way both faces prepare a station.
PreparedStation PrepareStation(const StationChoices& choices);

/// The model, speed and port that the window's settings choose, each within its list: the
/// first of the list where the settings name none of it. One reading for every face.
struct RecentChoice {
  const ChipRow* model = nullptr;
  int rate = 0;
  std::string port;  // "COM1" .. "COM4"
};
RecentChoice RecentChoiceOf(const RecentSettings& recent);

/// The ports `names` names, each with the device it stands for (a COM name's, else the
/// name as a path), at `model` and `rate`. Empty, with `error` in `language`, when none is
/// named, more than `most` are, or one device is named twice by any two names (a link
/// and its target, two COM names of one device): one board, one engine.
std::vector<PortTarget> ResolvePorts(const std::vector<std::string>& names,
                                     const WriterSetup& setup, const ChipRow* model, int rate,
                                     std::size_t most, Language language, std::string& error);

/// This computer's name, the default name of a station.
std::string ThisComputer();

/// Whether the operator typed the job's short checksum, as the work order shows it.
bool ConfirmsJob(const Job& job, const std::string& typed);

/// The folder of the journals of a store: beside an SQLite file (`location` with every
/// link resolved), so that every process that uses the file on this computer sees them;
/// for a shared store, in `dataDir` under the store's `identity`. One folder for one
/// store, whatever link, path or URL names it.
std::filesystem::path JournalFolderOf(const std::string& location, const std::string& identity,
                                      const std::string& dataDir);

/// Why a job whose counter lives in the store `bound` (its identity) is not run against the
/// store at `location` of `identity`; empty when it may be (or is bound to none).
std::string WrongStoreText(const std::string& job, const std::string& bound,
                           const std::string& location, const std::string& identity,
                           Language language);

/// A station at work for both faces: its store as a service, its journal, its run.
/// Opens, starts, stops and closes them in the one right order.
class Station {
 public:
  struct Options {
    std::string store;            // where the records go: an SQLite file or a PostgreSQL URL
    StoreService::Opener opener;  // opens it, for writing
    std::string dataDir;          // where the journals lie, ending with a separator
    std::string legacyLocation;   // the store as the face named it (earlier journals)
    /// The store's identity that the job binds its counter to; empty for none.
    std::string boundStore;
    StoreService::Options service;
  };
  Station(RunSetup setup, Options options, SerialPortFactory& ports, Clock& clock,
          RunObserver& observer);
  /// Close().
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  /// Opens the store, the journal kept for its identity, and starts the run (leftovers
  /// settled, the counter and lot checked, the first numbers taken). A problem says why
  /// nothing can be burned.
  StartReport Open();

  /// Once Open worked: one unit on every port; auto start until Stop. What came of it,
  /// with its notes.
  ProductionRun::End Round();
  ProductionRun::End AutoRun();
  /// The operator starts again after a Stop (a Stop after it still holds).
  void Resume();
  /// The run's counters and state, and each port's last outcome (empty before Open).
  Counters counters() const;
  RunState state() const;
  std::vector<UnitOutcome> LastOutcomes() const;
  /// Whether a Stop holds.
  bool stopped() const;
  /// The store as it shows itself (never a password), and its identity, once open.
  std::string storeLocation() const;
  std::string storeIdentity() const { return identity_; }
  /// The journal folder, once open.
  const std::filesystem::path& journalFolder() const { return journalFolder_; }
  StoreService& service() { return service_; }

  /// Stops the run between blocks. Any thread.
  void Stop();
  /// Gives back the numbers no unit took and the lease, closes the store: never more
  /// than about a second, whatever the store does. The units whose records still wait in
  /// the journal, as notes (the next start records them).
  std::vector<Note> Close();

 private:
  RunSetup setup_;
  Options options_;
  SerialPortFactory& ports_;
  Clock& clock_;
  RunObserver& observer_;
  StoreService service_;
  std::string identity_;
  std::filesystem::path journalFolder_;
  std::unique_ptr<Journal> journal_;
  std::unique_ptr<ProductionRun> run_;
  bool closed_ = false;
};

}  // namespace otp
