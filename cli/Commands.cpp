#include "cli/Commands.h"

namespace otp::cli {

namespace {

constexpr ActionSpec kJobActions[] = {{"create", 2}, {"show", 1}, {"check", 1}};
constexpr ActionSpec kStoreActions[] = {{"show", 0}, {"set", 2}};
constexpr ActionSpec kUsersActions[] = {{"add", 2}};

constexpr CommandSpec kCommands[] = {
    {"ports", nullptr, "list serial ports and the COM names that stand for them", 0, RunPorts},
    {"info", "FILE", "decode FILE for the model's OTP area and sum it up (no port)",
     kFile | kTargets, RunInfo},
    {"blank-check", nullptr, "Download, then Blank Check", kSeveralPorts | kTargets, RunOnPorts},
    {"plan", "FILE", "Download, then the burn plan: can this part take FILE?",
     kFile | kSeveralPorts | kTargets, RunOnPorts},
    {"program", "FILE", "Download, the burn plan, Program+Verify, then Read+Compare",
     kFile | kSeveralPorts | kTargets | kJobFile, RunOnPorts},
    {"compare", "FILE", "Download, then Read+Compare; every difference is counted",
     kFile | kSeveralPorts | kTargets, RunOnPorts},
    {"read", "OUT", "Download, then read the OTP area into OUT", kFile | kTargets, RunOnPorts},
    {"produce", "FILE",
     "burn unit after unit: one Enter each (or each board as it is\nput in), a serial number "
     "into each, every attempt recorded",
     kFile | kSeveralPorts | kTargets | kJobFile, RunProduce},
    {"log", nullptr, "print the recorded attempts, with a summary by result", 0, RunLog},
    {"report", "OUT",
     "write the batch report of the records as one page: OUT ends\nin .pdf, .png or .html", kFile,
     RunReport},
    {"job", "ACTION",
     "create OUT FILE: make the job OUT of FILE and the options\n(--name, -m, -c, --serial ...); "
     "show JOB: print it;\ncheck JOB: check it against its checksum",
     kTargets, RunJob, kJobActions, "job create OUT FILE, job show JOB or job check JOB"},
    {"store", "ACTION",
     "show: the store's identity, settings and the stations that hold\nleases; set grace "
     "SECONDS: how long a station may be away before\nothers settle its numbers (120); set "
     "block MINUTES: the work the\nnumbers a station holds ahead cover (10)",
     0, RunStore, kStoreActions,
     "store show, or store set grace SECONDS or store set block MINUTES"},
    {"serve", nullptr,
     "the factory view: every station of the store, live, in a browser\n(read-only; "
     "127.0.0.1:8047 unless --listen says otherwise)",
     0, RunServe},
    {"users", "ACTION",
     "add FILE NAME: a user who may read the factory view, in FILE,\nthe password asked twice on "
     "the terminal (kept as an Argon2id hash)",
     0, RunUsers, kUsersActions, "users add FILE NAME"},
};

}  // namespace

std::span<const CommandSpec> CommandTable() {
  return kCommands;
}

const CommandSpec* FindCommand(std::string_view name) {
  for (const CommandSpec& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

}  // namespace otp::cli
