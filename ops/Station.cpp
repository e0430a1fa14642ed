#include "ops/Station.h"

#include <system_error>

#include "core/Texts.h"
#include "core/Utf8Path.h"
#include "hexfile/FlashBuffer.h"
#include "ops/Host.h"
#include "ops/Messages.h"
#include "ops/Setup.h"
#include "ops/job/Use.h"

namespace otp {

RecentChoice RecentChoiceOf(const RecentSettings& recent) {
  RecentChoice choice;
  choice.model = ModelAt(recent.cpu) ? ModelAt(recent.cpu) : ModelAt(0);
  choice.rate = recent.rate >= 0 && recent.rate < 3 ? recent.rate : 0;
  choice.port = ComName(recent.com >= 1 && recent.com <= 4 ? recent.com : 1);
  return choice;
}

std::vector<PortTarget> ResolvePorts(const std::vector<std::string>& names,
                                     const WriterSetup& setup, const ChipRow* model, int rate,
                                     std::size_t most, Language language, std::string& error) {
  std::vector<PortTarget> targets;
  for (const std::string& name : names) {
    PortTarget target{name, setup.Device(name), model, rate};
    if (target.device.empty()) target.device = name;  // a device path
    std::error_code ec;
    const auto canonical = std::filesystem::weakly_canonical(PathFromUtf8(target.device), ec);
    for (const PortTarget& other : targets) {
      std::error_code ec2;
      const auto known = std::filesystem::weakly_canonical(PathFromUtf8(other.device), ec2);
      if (other.device == target.device || (!ec && !ec2 && canonical == known)) {
        error = Tr(language, "%1 and %2 are the same port (%3)", {other.name, name, target.device});
        return {};
      }
    }
    targets.push_back(target);
  }
  if (targets.empty()) error = Tr(language, "no port is named");
  if (targets.size() > most) error = Tr(language, "at most %1 ports", {std::to_string(most)});
  return error.empty() ? targets : std::vector<PortTarget>{};
}

std::string ThisComputer() {
  return ThisProcess("", "").host;
}

bool ConfirmsJob(const Job& job, const std::string& typed) {
  std::string text = typed;
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n'))
    text.pop_back();
  while (!text.empty() && text.front() == ' ')
    text.erase(text.begin());
  return !text.empty() && text == job.ShortChecksum();
}

std::filesystem::path JournalFolderOf(const std::string& location, const std::string& identity,
                                      const std::string& dataDir) {
  if (!IsServerLocation(location)) return PathFromUtf8(location + ".journals");
  return PathFromUtf8(dataDir) / "journals" / PathFromUtf8(identity);
}

PreparedStation PrepareStation(const StationChoices& c) {
  PreparedStation prepared;
  RunSetup& setup = prepared.setup;
  auto fail = [&](PreparedStation::Problem problem, const std::string& message) {
    prepared.problem = problem;
    prepared.message = message;
    return prepared;
  };
  setup.ports = c.ports;
  setup.station = c.station.empty() ? ThisComputer() : c.station;
  setup.retries = c.retries;
  setup.language = c.language;
  setup.moduleDir = c.moduleDir;
  setup.monitorDirs = c.monitorDirs;
  setup.reset = c.reset;
  if (c.blockTime) setup.blockTime = *c.blockTime;
  if (!c.jobFile.empty()) {
    Job job;
    const JobProblem problem = ReadJob(PathFromUtf8(c.jobFile), job);
    if (problem.kind != JobProblem::Kind::kNone) {
      return fail(PreparedStation::Problem::kFile,
                  Printable(JobProblemText(problem, c.jobFile, c.language)));
    }
    if (c.resume && !job.resume) {
      return fail(PreparedStation::Problem::kUsage,
                  Tr(c.language, "the job %1 does not allow --resume", {job.name}));
    }
    UseJob(job, setup);
    setup.resume = c.resume;  // allowed by the job, asked for by the operator
    if (c.reading) setup.reading = *c.reading;
    if (!c.lot.empty()) {
      setup.lot = c.lot;
      setup.quantity = c.quantity;
    }
    if (c.quantity && setup.lot.empty()) {
      return fail(PreparedStation::Problem::kUsage, Tr(c.language, "--quantity needs a --lot"));
    }
    prepared.job = std::move(job);
    return prepared;
  }
  if (setup.ports.empty() || !setup.ports.front().model) {
    return fail(PreparedStation::Problem::kUsage, Tr(c.language, "no port is chosen"));
  }
  const ChipRow& model = *setup.ports.front().model;
  const auto start = static_cast<std::uint32_t>(model.startAddr);
  const auto end = static_cast<std::uint32_t>(model.endAddr);
  const ImageResult read =
      LoadImage(c.imageFile, c.binaryBase.value_or(start), start, end, setup.image);
  if (read.error != ImageError::kNone || read.dataBytes == 0) {
    return fail(PreparedStation::Problem::kFile,
                ImageProblemText(c.imageFile, read, model, c.language));
  }
  setup.imageName = c.imageFile;
  setup.crc32 = Crc32(&setup.image[start], end - start + 1);
  if (!c.serial.empty()) {
    SerialRuleError why{};
    setup.rule = ParseSerialRule(c.serial, why);
    if (!setup.rule) {
      return fail(PreparedStation::Problem::kUsage, SerialRuleErrorText(c.serial, why, c.language));
    }
    const SerialRuleProblem problem =
        CheckSerialRule(*setup.rule, c.serialStart.value_or(0), setup.image, model);
    if (problem.kind != SerialRuleProblem::Kind::kNone) {
      return fail(PreparedStation::Problem::kFile, SerialRuleProblemText(problem, c.language));
    }
  }
  setup.counter = c.counter.empty() ? "serial" : c.counter;
  setup.serialStart = c.serialStart;
  setup.serialStep = c.serialStep;
  setup.resume = c.resume;
  setup.reading = c.reading.value_or(ReadMode::kArea);
  setup.lot = c.lot;
  setup.quantity = c.quantity;
  if (c.quantity && c.lot.empty()) {
    return fail(PreparedStation::Problem::kUsage, Tr(c.language, "--quantity needs a --lot"));
  }
  return prepared;
}

Station::Station(RunSetup setup, Options options, SerialPortFactory& ports, Clock& clock,
                 RunObserver& observer)
    : setup_(std::move(setup)),
      options_(std::move(options)),
      ports_(ports),
      clock_(clock),
      observer_(observer),
      service_(options_.opener, options_.service) {}

Station::~Station() {
  Close();
}

std::string Station::storeLocation() const {
  // As the store shows itself, once it answered: never the location as it was typed.
  return identity_.empty() ? std::string() : options_.store;
}

std::string WrongStoreText(const std::string& job, const std::string& bound,
                           const std::string& location, const std::string& identity,
                           Language language) {
  if (bound.empty() || bound == identity) return {};
  return Tr(language,
            "the job %1 keeps its serial numbers in the store %2; this store, %3, is another (%4)",
            {job, bound, location, identity});
}

StartReport Station::Open() {
  StartReport report;
  auto fail = [&](StartReport::Problem problem, const std::string& detail) {
    report.problem = problem;
    report.detail = detail;
    AddStartNotes(report, setup_);
    return report;
  };
  StoreError error;
  if (!service_.Open(error, ProductionRun::kStoreWait)) {
    return fail(StartReport::Problem::kStore, error.text);
  }
  auto identity = std::make_shared<std::string>();
  auto location = std::make_shared<std::string>();
  if (service_.Call(
          [identity, location](RecordStore& s, StoreError&) {
            *identity = s.Identity();
            *location = s.Location();
          },
          ProductionRun::kStoreWait, error) != StoreService::Answer::kDone) {
    return fail(StartReport::Problem::kStore, error.text);
  }
  identity_ = *identity;
  options_.store = *location;
  // A job keeps its numbers in the store its counter lives in, and no other.
  const std::string wrong =
      WrongStoreText(setup_.job, options_.boundStore, options_.store, identity_, setup_.language);
  if (!wrong.empty()) return fail(StartReport::Problem::kStore, wrong);
  journalFolder_ = JournalFolderOf(options_.store, identity_, options_.dataDir);
  // Journals that an earlier release kept by the store's name come to its identity's.
  Journal::Adopt(JournalFolder(options_.legacyLocation, options_.dataDir), journalFolder_);
  std::string journalError;
  journal_ = Journal::Open(journalFolder_, Journal::NewOwner(), journalError);
  if (!journal_) return fail(StartReport::Problem::kJournal, journalError);
  run_ = std::make_unique<ProductionRun>(setup_, service_, *journal_, ports_, clock_, observer_);
  report = run_->Start();
  return report;
}

void Station::Stop() {
  if (run_) run_->Stop();
}

ProductionRun::End Station::Round() {
  return run_ ? run_->Round() : ProductionRun::End{};
}

ProductionRun::End Station::AutoRun() {
  return run_ ? run_->AutoRun() : ProductionRun::End{};
}

void Station::Resume() {
  if (run_) run_->ClearStop();
}

Counters Station::counters() const {
  return run_ ? run_->counters() : Counters{};
}

RunState Station::state() const {
  return run_ ? run_->state() : RunState{};
}

std::vector<UnitOutcome> Station::LastOutcomes() const {
  return run_ ? run_->LastOutcomes() : std::vector<UnitOutcome>{};
}

bool Station::stopped() const {
  return run_ && run_->stopped();
}

std::vector<Note> Station::Close() {
  if (closed_) return {};
  closed_ = true;
  if (run_) {
    run_->Stop();
    run_->Close(std::chrono::seconds(1));
  }
  // The store's thread is given a moment, and left to end by itself after it.
  service_.Close(std::chrono::milliseconds(500));
  std::vector<Note> waiting;
  if (journal_) {
    for (const JournalEntry& entry : journal_->Unconfirmed()) {
      if (entry.stage != JournalStage::kEnded) continue;
      Note note{NoteId::kRecordWaiting, {}};
      note.Add("port", entry.unit.port);
      if (entry.unit.serial) note.Add("serial", static_cast<long long>(*entry.unit.serial));
      note.Add("outcome", OutcomeName(entry.unit.outcome));
      waiting.push_back(note.Add("folder", Utf8FromPath(journalFolder_)));
    }
  }
  run_.reset();
  journal_.reset();
  return waiting;
}

}  // namespace otp
