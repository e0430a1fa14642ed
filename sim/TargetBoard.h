#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace otp::sim {

/// Places in the conversation where a fault can be injected.
enum class Event {
  kHandshake,       // the answer to the handshake byte
  kDownloadReply,   // the reply to the download command
  kDownloadData,    // the monitor stream coming in
  kDownloadStatus,  // the status after the monitor stream
  kReadReply,       // the reply to a read-block command
  kReadData,        // the 257-byte block answer
  kProgramReply,    // the reply to a program-block command
  kProgramData,     // the block data coming in
  kProgramStatus,   // the status after the block data
  kCount
};

enum class Action {
  kSilent,   // send nothing
  kByte,     // send `value` instead (a block answer: every data byte `value`, sum kept right)
  kDelay,    // send `value` ms late
  kZeros,    // send `value` zero bytes first
  kGarbage,  // send `value` arbitrary bytes first
  kShort,    // a block answer: send only its first `value` bytes
  kBadSum,   // a block answer: send a wrong checksum
  kHangUp,   // the line goes away: at once, or after `value` bytes of a data transfer
};

/// A fault: at the `occurrence`-th time `event` happens (every time when 0), do `action`.
struct Fault {
  Event event = Event::kHandshake;
  int occurrence = 0;
  Action action = Action::kSilent;
  int value = 0;
};

/// Parses "event[@n]:action[=value]", e.g. "read-reply@3:byte=0x22", "program-status:delay=3500",
/// "download-data:hangup=100". Sets `error` and returns nothing when the text is no fault.
std::optional<Fault> ParseFault(std::string_view text, std::string* error);

/// The help text for fault rules.
std::string FaultHelp();

/// One byte on the line, for traces.
struct TraceEntry {
  std::int64_t timeUs;
  bool fromHost;
  std::uint8_t byte;
};

/// A target board as the writer sees it over the serial line: after a reset it waits for
/// the handshake, takes the download of a monitor, and then serves the read-block and
/// program-block commands over a 64 KiB OTP memory whose unwritten bytes read 0xFF and
/// whose bits can only be cleared. A handshake byte where a command frame would begin
/// means the board was reset; a transfer left unfinished for idleTimeoutUs is abandoned.
///
/// The board has no clock of its own: the caller passes the time of every byte that
/// arrives, and takes the board's bytes with the time at which each has fully arrived at
/// the host (each byte takes byteTime on the line, one after the other).
class TargetBoard {
 public:
  struct Output {
    std::uint8_t byte;
    std::int64_t atUs;  // when the byte has arrived at the host
  };

  explicit TargetBoard(std::vector<Fault> faults = {});

  /// Adds a fault; its occurrences count from the board's start.
  void AddFault(const Fault& fault) { faults_.push_back(fault); }
  void ClearFaults() { faults_.clear(); }

  /// Time one byte takes on the line; 0 sends without pacing.
  void SetByteTime(std::int64_t us) { byteTimeUs_ = us; }
  std::int64_t byteTime() const { return byteTimeUs_; }

  /// The board's reset button: back to waiting for the handshake; replies not yet sent are
  /// dropped.
  void Reset();

  /// A fixture that boards are put into and taken out of. The board in it is a real one:
  /// once its monitor runs it no longer takes a handshake byte for a reset (it answers
  /// it as a broken frame), so only a board freshly put in answers the handshake.
  struct Fixture {
    bool enabled = false;
    /// After each unit (its monitor idle for `unitGapUs` after block commands) the board
    /// is taken out for `outUs`, then a fresh blank part is put in; 0: only on command.
    std::int64_t outUs = 0;
    /// Above `outUs`: each time out for a time drawn evenly from outUs..outMaxUs
    /// (an operator who takes 1 to 3 seconds), from `seed`.
    std::int64_t outMaxUs = 0;
    std::uint32_t seed = 1;
    std::int64_t unitGapUs = 1'000'000;
  };
  void SetFixture(Fixture fixture) {
    fixture_ = fixture;
    fixtureSeed_ = fixture.seed;
  }
  /// Takes the board out: it answers nothing until a board is put in.
  void TakeOut();
  /// Puts a board in, freshly powered: a blank part, or (`fresh` false) the same one
  /// again. It answers the handshake.
  void PutIn(bool fresh);
  bool boardIn() const { return !out_; }
  /// Lets the fixture's time pass: takes a board out after its unit, puts the next in.
  /// Returns when it wants to be called again (or -1 for never).
  std::int64_t Tick(std::int64_t nowUs);
  /// Boards put in since construction (the first one counts).
  int boardsPutIn = 1;
  /// One byte from the host, fully arrived at `nowUs`.
  void Receive(std::uint8_t byte, std::int64_t nowUs);

  /// The board's bytes that nobody has taken yet, in order.
  std::deque<Output>& output() { return output_; }
  /// The time from which the line is gone, once it went away.
  std::optional<std::int64_t> hangUpAt() const { return hangUpAtUs_; }

  std::array<std::uint8_t, 0x10000>& memory() { return memory_; }
  const std::vector<std::uint8_t>& monitor() const { return monitor_; }
  bool monitorRunning() const { return state_ == State::kMonitor; }

  /// Counts of what happened since construction.
  int handshakes = 0;
  int downloads = 0;                            // monitor streams received with the right checksum
  std::vector<std::uint32_t> readAddresses;     // every block answer sent
  std::vector<std::uint32_t> programAddresses;  // every block programmed
  std::vector<std::uint8_t> commands;           // every command frame's command byte

  std::int64_t idleTimeoutUs = 500'000;
  std::function<void(const TraceEntry&)> onTrace;
  /// Runs for every command frame received, with its command byte and address.
  std::function<void(std::uint8_t, std::uint16_t)> onCommand;

 private:
  enum class State { kReset, kBoot, kMonitor };
  enum class Phase { kCommand, kDownloadData, kProgramData };

  std::optional<Fault> FindFault(Event event);
  void Send(const std::vector<std::uint8_t>& bytes, std::int64_t notBeforeUs);
  std::optional<std::uint8_t> Reply(Event event, std::uint8_t normal, std::int64_t nowUs);
  void Handshake(std::int64_t nowUs);
  void HandleFrame(std::int64_t nowUs);
  void SendBlock(std::uint16_t address, std::int64_t nowUs);
  void FinishDownload(std::int64_t nowUs);
  void FinishProgram(std::int64_t nowUs);
  void HangUp(std::int64_t atUs);

  std::vector<Fault> faults_;
  std::array<int, static_cast<std::size_t>(Event::kCount)> counts_{};
  std::array<std::uint8_t, 0x10000> memory_;
  std::vector<std::uint8_t> monitor_;
  std::deque<Output> output_;
  std::int64_t byteTimeUs_ = 0;
  std::int64_t lineFreeUs_ = 0;
  std::int64_t lastByteUs_ = 0;
  std::optional<std::int64_t> hangUpAtUs_;
  std::uint32_t garbageSeed_ = 0x2545F491;

  Fixture fixture_;
  std::uint32_t fixtureSeed_ = 1;
  bool out_ = false;
  std::optional<std::int64_t> putInAtUs_;  // when the next board goes in
  std::int64_t lastBlockCommandUs_ = 0;
  int blockCommands_ = 0;  // since the board was put in

  State state_ = State::kReset;
  Phase phase_ = Phase::kCommand;
  std::vector<std::uint8_t> frame_;
  std::vector<std::uint8_t> data_;
  std::size_t expected_ = 0;  // data bytes of the transfer, without the checksum
  std::uint16_t blockAddress_ = 0;
  std::optional<Fault> dataFault_;
};

}  // namespace otp::sim
