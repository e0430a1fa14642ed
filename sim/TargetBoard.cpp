#include "sim/TargetBoard.h"

#include <algorithm>
#include <charconv>

namespace otp::sim {

namespace {

// The board's own view of the wire format: command, address and length most significant
// byte first, then the low 8 bits of the sum of those five bytes.
constexpr std::uint8_t kHandshakeByte = 0x18;
constexpr std::uint8_t kHandshakeAnswer = 0x11;
constexpr std::uint8_t kDownload = 0x00;
constexpr std::uint8_t kProgram = 0x08;
constexpr std::uint8_t kRead = 0x28;
constexpr std::uint8_t kOk = 0x01;
constexpr std::uint8_t kBadChecksum = 0x02;
constexpr std::uint8_t kDeviceError = 0x04;
constexpr std::uint8_t kUnknown = 0x03;
constexpr std::size_t kBlock = 256;

struct Name {
  const char* text;
  int value;
};

constexpr Name kEvents[] = {
    {"handshake", static_cast<int>(Event::kHandshake)},
    {"download-reply", static_cast<int>(Event::kDownloadReply)},
    {"download-data", static_cast<int>(Event::kDownloadData)},
    {"download-status", static_cast<int>(Event::kDownloadStatus)},
    {"read-reply", static_cast<int>(Event::kReadReply)},
    {"read-data", static_cast<int>(Event::kReadData)},
    {"program-reply", static_cast<int>(Event::kProgramReply)},
    {"program-data", static_cast<int>(Event::kProgramData)},
    {"program-status", static_cast<int>(Event::kProgramStatus)},
};

constexpr Name kActions[] = {
    {"silent", static_cast<int>(Action::kSilent)},   {"byte", static_cast<int>(Action::kByte)},
    {"delay", static_cast<int>(Action::kDelay)},     {"zeros", static_cast<int>(Action::kZeros)},
    {"garbage", static_cast<int>(Action::kGarbage)}, {"short", static_cast<int>(Action::kShort)},
    {"badsum", static_cast<int>(Action::kBadSum)},   {"hangup", static_cast<int>(Action::kHangUp)},
};

template <std::size_t N>
std::optional<int> Lookup(const Name (&names)[N], std::string_view text) {
  for (const Name& name : names) {
    if (text == name.text) return name.value;
  }
  return std::nullopt;
}

std::optional<int> ParseNumber(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

std::uint8_t Sum(const std::uint8_t* data, std::size_t count) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < count; ++i)
    sum = static_cast<std::uint8_t>(sum + data[i]);
  return sum;
}

}  // namespace

std::optional<Fault> ParseFault(std::string_view text, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<Fault> {
    if (error) *error = "bad fault \"" + std::string(text) + "\": " + why;
    return std::nullopt;
  };
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return fail("expected event:action");
  std::string_view event = text.substr(0, colon);
  std::string_view action = text.substr(colon + 1);
  Fault fault;
  if (const auto at = event.find('@'); at != std::string_view::npos) {
    const auto occurrence = ParseNumber(event.substr(at + 1));
    if (!occurrence || *occurrence < 1) return fail("the occurrence counts from 1");
    fault.occurrence = *occurrence;
    event = event.substr(0, at);
  }
  const auto eventValue = Lookup(kEvents, event);
  if (!eventValue) return fail("unknown event");
  fault.event = static_cast<Event>(*eventValue);
  if (const auto equals = action.find('='); equals != std::string_view::npos) {
    const auto value = ParseNumber(action.substr(equals + 1));
    if (!value) return fail("bad value");
    fault.value = *value;
    action = action.substr(0, equals);
  }
  const auto actionValue = Lookup(kActions, action);
  if (!actionValue) return fail("unknown action");
  fault.action = static_cast<Action>(*actionValue);
  return fault;
}

std::string FaultHelp() {
  return "A fault is EVENT[@N]:ACTION[=VALUE]: at the N-th EVENT (every one without @N).\n"
         "  EVENT:  handshake, download-reply, download-data, download-status,\n"
         "          read-reply, read-data, program-reply, program-data, program-status\n"
         "  ACTION: silent         send nothing\n"
         "          byte=V         send V instead (read-data: every data byte V)\n"
         "          delay=MS       send MS milliseconds late\n"
         "          zeros=K        send K zero bytes first\n"
         "          garbage=K      send K arbitrary bytes first\n"
         "          short=K        read-data: send only the first K bytes\n"
         "          badsum         read-data: send a wrong checksum\n"
         "          hangup[=K]     the line goes away (after K bytes of a data transfer)\n";
}

TargetBoard::TargetBoard(std::vector<Fault> faults) : faults_(std::move(faults)) {
  memory_.fill(0xFF);
}

void TargetBoard::Reset() {
  state_ = State::kReset;
  phase_ = Phase::kCommand;
  frame_.clear();
  data_.clear();
  output_.clear();  // a reset board sends nothing it had meant to send before
}

void TargetBoard::TakeOut() {
  out_ = true;
  Reset();
}

void TargetBoard::PutIn(bool fresh) {
  if (fresh) memory_.fill(0xFF);
  out_ = false;
  putInAtUs_.reset();
  blockCommands_ = 0;
  ++boardsPutIn;
  Reset();
}

std::int64_t TargetBoard::Tick(std::int64_t nowUs) {
  if (!fixture_.enabled || fixture_.outUs <= 0) return -1;
  if (out_) {
    if (!putInAtUs_) return -1;  // out on command: in on command
    if (nowUs >= *putInAtUs_) {
      PutIn(true);
      return -1;
    }
    return *putInAtUs_;
  }
  if (state_ != State::kMonitor || blockCommands_ == 0) return -1;
  const std::int64_t unitEnded = lastBlockCommandUs_ + fixture_.unitGapUs;
  if (nowUs < unitEnded) return unitEnded;
  // The operator takes the burned board out and, a while later, puts the next one in.
  TakeOut();
  std::int64_t out = fixture_.outUs;
  if (fixture_.outMaxUs > fixture_.outUs) {
    fixtureSeed_ = fixtureSeed_ * 1103515245u + 12345u;
    out += static_cast<std::int64_t>(
        (fixtureSeed_ >> 8) % static_cast<std::uint32_t>(fixture_.outMaxUs - fixture_.outUs));
  }
  putInAtUs_ = nowUs + out;
  return *putInAtUs_;
}

std::optional<Fault> TargetBoard::FindFault(Event event) {
  const int count = ++counts_[static_cast<std::size_t>(event)];
  for (const Fault& fault : faults_) {
    if (fault.event == event && (fault.occurrence == 0 || fault.occurrence == count)) {
      return fault;
    }
  }
  return std::nullopt;
}

void TargetBoard::HangUp(std::int64_t atUs) {
  if (!hangUpAtUs_) hangUpAtUs_ = atUs;
}

void TargetBoard::Send(const std::vector<std::uint8_t>& bytes, std::int64_t notBeforeUs) {
  for (const std::uint8_t byte : bytes) {
    lineFreeUs_ = std::max(lineFreeUs_, notBeforeUs) + byteTimeUs_;
    output_.push_back(Output{byte, lineFreeUs_});
    if (onTrace) onTrace(TraceEntry{lineFreeUs_, false, byte});
  }
}

std::optional<std::uint8_t> TargetBoard::Reply(Event event, std::uint8_t normal,
                                               std::int64_t nowUs) {
  std::vector<std::uint8_t> bytes;
  std::uint8_t byte = normal;
  std::int64_t delayUs = 0;
  if (const auto fault = FindFault(event)) {
    switch (fault->action) {
      case Action::kSilent:
        return std::nullopt;
      case Action::kHangUp:
        HangUp(nowUs);
        return std::nullopt;
      case Action::kByte:
        byte = static_cast<std::uint8_t>(fault->value);
        break;
      case Action::kDelay:
        delayUs = static_cast<std::int64_t>(fault->value) * 1000;
        break;
      case Action::kZeros:
        bytes.assign(static_cast<std::size_t>(fault->value), 0x00);
        break;
      case Action::kGarbage:
        for (int i = 0; i < fault->value; ++i) {
          garbageSeed_ = garbageSeed_ * 1103515245u + 12345u;
          bytes.push_back(static_cast<std::uint8_t>((garbageSeed_ >> 16) | 0x40));
        }
        break;
      case Action::kShort:
      case Action::kBadSum:
        break;
    }
  }
  bytes.push_back(byte);
  Send(bytes, nowUs + delayUs);
  return byte;
}

void TargetBoard::Receive(std::uint8_t byte, std::int64_t nowUs) {
  if (hangUpAtUs_ || out_) return;
  if (onTrace) onTrace(TraceEntry{nowUs, true, byte});
  const bool midTransfer = phase_ != Phase::kCommand || !frame_.empty();
  if (midTransfer && nowUs - lastByteUs_ > idleTimeoutUs) {
    phase_ = Phase::kCommand;
    frame_.clear();
  }
  lastByteUs_ = nowUs;

  switch (phase_) {
    case Phase::kCommand:
      if (state_ == State::kReset) {
        if (byte == kHandshakeByte) Handshake(nowUs);
        return;
      }
      if (frame_.empty() && byte == kHandshakeByte && !fixture_.enabled) {
        // Without a fixture a handshake byte stands for the reset button, so that a
        // second Download works without one.
        Handshake(nowUs);
        return;
      }
      if (frame_.empty() && fixture_.enabled && state_ == State::kMonitor && byte != kProgram &&
          byte != kRead) {
        // A real board's monitor (in a fixture) takes a byte that begins no command, a
        // handshake byte among them, for a broken frame.
        Send({kBadChecksum}, nowUs);
        return;
      }
      frame_.push_back(byte);
      if (frame_.size() == 6) {
        HandleFrame(nowUs);
        frame_.clear();
      }
      return;
    case Phase::kDownloadData:
    case Phase::kProgramData:
      data_.push_back(byte);
      if (dataFault_ && dataFault_->action == Action::kHangUp &&
          data_.size() >= static_cast<std::size_t>(std::max(dataFault_->value, 1))) {
        HangUp(nowUs);
        return;
      }
      if (data_.size() == expected_ + 1) {
        if (phase_ == Phase::kDownloadData) {
          FinishDownload(nowUs);
        } else {
          FinishProgram(nowUs);
        }
      }
      return;
  }
}

void TargetBoard::Handshake(std::int64_t nowUs) {
  state_ = State::kBoot;
  phase_ = Phase::kCommand;
  frame_.clear();
  ++handshakes;
  Reply(Event::kHandshake, kHandshakeAnswer, nowUs);
}

void TargetBoard::HandleFrame(std::int64_t nowUs) {
  const std::uint8_t command = frame_[0];
  const auto address = static_cast<std::uint16_t>(frame_[1] << 8 | frame_[2]);
  const auto length = static_cast<std::size_t>(frame_[3] << 8 | frame_[4]);
  const std::uint8_t tag = command == kRead ? 0x20 : 0x00;
  commands.push_back(command);
  if (onCommand) onCommand(command, address);
  if (state_ == State::kMonitor) {
    ++blockCommands_;
    lastBlockCommandUs_ = nowUs;
  }

  std::uint8_t status = kOk;
  if (Sum(frame_.data(), 5) != frame_[5]) {
    status = kBadChecksum;
  } else if (state_ == State::kBoot) {
    if (command != kDownload) status = kUnknown;
  } else if ((command != kRead && command != kProgram) || length != kBlock) {
    status = kUnknown;
  }
  const std::uint8_t normal = static_cast<std::uint8_t>(tag | status);

  std::optional<Event> event;
  if (command == kDownload) event = Event::kDownloadReply;
  if (command == kProgram) event = Event::kProgramReply;
  if (command == kRead) event = Event::kReadReply;
  if (!event) {
    Send({normal}, nowUs);
    return;
  }
  const auto sent = Reply(*event, normal, nowUs);
  // Only a command that the host sees accepted goes on.
  if (status != kOk || !sent || *sent != normal) return;
  if (command == kDownload) {
    phase_ = Phase::kDownloadData;
    expected_ = length;
    data_.clear();
    dataFault_ = FindFault(Event::kDownloadData);
  } else if (command == kProgram) {
    phase_ = Phase::kProgramData;
    expected_ = kBlock;
    blockAddress_ = address;
    data_.clear();
    dataFault_ = FindFault(Event::kProgramData);
  } else {
    SendBlock(address, nowUs);
  }
}

void TargetBoard::SendBlock(std::uint16_t address, std::int64_t nowUs) {
  std::vector<std::uint8_t> answer(kBlock + 1);
  for (std::size_t i = 0; i < kBlock; ++i) {
    answer[i] = memory_[static_cast<std::uint16_t>(address + i)];
  }
  readAddresses.push_back(address);
  std::int64_t delayUs = 0;
  std::size_t keep = answer.size();
  std::optional<std::size_t> hangUpAfter;
  std::vector<std::uint8_t> prefix;
  bool badSum = false;
  if (const auto fault = FindFault(Event::kReadData)) {
    const auto value = static_cast<std::size_t>(fault->value);
    switch (fault->action) {
      case Action::kSilent:
        return;
      case Action::kByte:
        std::fill(answer.begin(), answer.begin() + kBlock, static_cast<std::uint8_t>(value));
        break;
      case Action::kDelay:
        delayUs = static_cast<std::int64_t>(value) * 1000;
        break;
      case Action::kZeros:
        prefix.assign(value, 0x00);
        break;
      case Action::kGarbage:
        for (std::size_t i = 0; i < value; ++i)
          prefix.push_back(static_cast<std::uint8_t>(0x5A + i));
        break;
      case Action::kShort:
        keep = std::min(keep, value);
        break;
      case Action::kBadSum:
        badSum = true;
        break;
      case Action::kHangUp:
        hangUpAfter = std::min(value, answer.size());
        break;
    }
  }
  answer[kBlock] = Sum(answer.data(), kBlock);
  if (badSum) answer[kBlock] = static_cast<std::uint8_t>(answer[kBlock] ^ 0x5A);
  prefix.insert(prefix.end(), answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(keep));
  if (hangUpAfter) {
    prefix.resize(std::min(prefix.size(), *hangUpAfter));
    Send(prefix, nowUs + delayUs);
    HangUp(prefix.empty() ? nowUs : output_.back().atUs);
    return;
  }
  Send(prefix, nowUs + delayUs);
}

void TargetBoard::FinishDownload(std::int64_t nowUs) {
  phase_ = Phase::kCommand;
  const bool sumRight = Sum(data_.data(), expected_) == data_[expected_];
  const auto sent = Reply(Event::kDownloadStatus, sumRight ? kOk : kBadChecksum, nowUs);
  if (sumRight && sent && *sent == kOk) {
    monitor_.assign(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(expected_));
    ++downloads;
    state_ = State::kMonitor;
  }
}

void TargetBoard::FinishProgram(std::int64_t nowUs) {
  phase_ = Phase::kCommand;
  std::uint8_t status = kOk;
  if (Sum(data_.data(), kBlock) != data_[kBlock]) {
    status = kBadChecksum;
  } else {
    // Programming can only clear bits: a request to set a cleared bit fails verification.
    for (std::size_t i = 0; i < kBlock; ++i) {
      std::uint8_t& cell = memory_[static_cast<std::uint16_t>(blockAddress_ + i)];
      cell = static_cast<std::uint8_t>(cell & data_[i]);
      if (cell != data_[i]) status = kDeviceError;
    }
    programAddresses.push_back(blockAddress_);
  }
  Reply(Event::kProgramStatus, status, nowUs);
}

}  // namespace otp::sim
