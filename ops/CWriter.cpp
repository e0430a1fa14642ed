#include "ops/CWriter.h"

#include <algorithm>
#include <cstdio>

#include "core/AtomicFile.h"
#include "core/Utf8Path.h"
#include "link/Download.h"
#include "link/Protocol.h"
#include "ops/Setup.h"

namespace otp {

namespace {

constexpr std::uint32_t kAddressSpaceEnd = 0x10000;
constexpr const char* kShortAnswerQuestion = "COMM error detected\nContinue?";

std::string Format(const char* format, unsigned a, unsigned b, unsigned c = 0) {
  char text[160];
  std::snprintf(text, sizeof(text), format, a, b, c);
  return text;
}

bool IsBlank(const std::uint8_t* block) {
  for (std::size_t i = 0; i < proto::kBlockSize; ++i) {
    if (block[i] != 0xFF) return false;
  }
  return true;
}

}  // namespace

CWriter::CWriter(OperationView& view, Reporter& reporter, Clock& clock)
    : link(reporter, clock), view_(view), reporter_(reporter), clock_(clock) {}

Outcome CWriter::Download(SerialPortFactory& ports, const std::string& device, int rate,
                          ResetMethod reset) {
  view_.SetStatus("Downloading");
  view_.SetRange(0, 1);
  view_.SetStep(1);
  view_.SetPos(0);
  const bool found = reset.kind == ResetMethod::Kind::kFound && link.IsOpen();
  if (!found && !link.OpenLink(ports, device, spec.BaudFor(rate))) return Outcome::kFailed;
  switch (reset.kind) {
    case ResetMethod::Kind::kPrompt:
      view_.MessageBox(kResetPrompt, "otp writer", BoxIcon::kInformation);
      break;
    case ResetMethod::Kind::kNone:
    case ResetMethod::Kind::kFound:
      break;
    case ResetMethod::Kind::kDtr:
      if (!link.PulseDtr(reset.dtrPulse)) {
        link.Close();
        return Outcome::kNoResetLine;
      }
      break;
  }
  // Bytes that the board sent while it was reset are no replies.
  if (!found) link.Purge(true, true);
  const std::string monitorDir =
      monitorDirs.empty() ? m_strModuleDir : FolderHolding(monitorDirs, spec.m_strMonitorFile);
  if (DownloadMonitor(link, reporter_, monitorDir, spec.m_strMonitorFile, spec.m_wDownloadAddr,
                      DownloadOptions{!keepWorkingFolder, found}) == kDownloadDone) {
    view_.StepIt();
    reporter_.ReportResult(msg::kDownload, kInformation, kVerdictOk);
    return Outcome::kOk;
  }
  link.Close();
  return Outcome::kFailed;
}

void CWriter::SetBlockRange(int blocks) {
  view_.SetRange(0, blocks > 0 ? blocks : spec.m_nSize >> 8);
  view_.SetStep(1);
  view_.SetPos(0);
}

bool CWriter::Reads(std::uint32_t address) const {
  return reading == ReadMode::kArea || !IsBlank(&FlashBuffer[address]);
}

int CWriter::BlocksRead() const {
  int blocks = 0;
  for (std::uint32_t address = static_cast<std::uint32_t>(spec.m_nStartAddr);
       address < kAddressSpaceEnd; address += proto::kBlockSize)
    blocks += Reads(address) ? 1 : 0;
  return blocks;
}

CWriter::BlockRead CWriter::ReadBlock(std::uint32_t address, BlockAnswer& answer,
                                      const char* caption) {
  if (link.SendCommand(proto::kCmdReadBlock, static_cast<std::uint16_t>(address),
                       proto::kBlockSize) != (proto::kTagReadBlock | proto::kStatusAccepted)) {
    return BlockRead::kFailed;
  }
  const ReadResult read = link.Read(answer.data(), answer.size());
  const std::size_t received = read.ok ? read.count : 0;
  if (received < answer.size()) {
    const bool again = view_.AskYesNo(kShortAnswerQuestion, caption);
    // Late bytes of the broken answer, and whatever came during the question, are dropped.
    link.Purge(false, true);
    return again ? BlockRead::kAgain : BlockRead::kDeclined;
  }
  if (proto::Checksum(answer.data(), proto::kBlockSize) != answer[proto::kBlockSize]) {
    reporter_.ReportResult(msg::kSumError, kError, kNoVerdict);
    return BlockRead::kFailed;
  }
  return BlockRead::kDone;
}

Outcome CWriter::ReadEachBlock(const char* canceled, const char* caption, const Examine& examine,
                               bool onlyImage) {
  BlockAnswer answer{};
  std::uint32_t address = static_cast<std::uint32_t>(spec.m_nStartAddr);
  while (address < kAddressSpaceEnd) {
    if (onlyImage && !Reads(address)) {
      address += proto::kBlockSize;
      continue;
    }
    if (view_.CheckCancelButton()) {
      reporter_.ReportMessage(canceled, kInformation);
      return Outcome::kCanceled;
    }
    switch (ReadBlock(address, answer, caption)) {
      case BlockRead::kAgain:
        continue;
      case BlockRead::kFailed:
        return Outcome::kFailed;
      case BlockRead::kDeclined:
        return Outcome::kStopped;
      case BlockRead::kDone:
        break;
    }
    if (const auto end = examine(address, answer)) return *end;
    view_.StepIt();
    address += proto::kBlockSize;
  }
  return Outcome::kOk;
}

Outcome CWriter::BlankCheck() {
  view_.SetStatus(reporter_.Text(msg::kBlankChecking));
  SetBlockRange();
  const Outcome outcome = ReadEachBlock(
      "Blank Check Canceled", "BlankChecking",
      [this](std::uint32_t address, const BlockAnswer& answer) -> std::optional<Outcome> {
        for (std::size_t i = 0; i < proto::kBlockSize; ++i) {
          if (answer[i] != 0xFF) {
            reporter_.ReportMessage(
                Format("Blank Check Error\n  Address   : 0x%04X\n  OTPmemory : 0x%02X",
                       static_cast<unsigned>(address + i), answer[i]),
                kWarning);
            return Outcome::kNotGood;
          }
        }
        return std::nullopt;
      });
  if (outcome == Outcome::kOk) reporter_.ReportResult(msg::kBlankCheck, kInformation, kVerdictOk);
  return outcome;
}

Outcome CWriter::ReadDevice(FlashImage& device, const char* canceled, bool onlyImage) {
  SetBlockRange(onlyImage ? BlocksRead() : 0);
  return ReadEachBlock(
      canceled, "Reading",
      [&device](std::uint32_t address, const BlockAnswer& answer) {
        std::copy(answer.begin(), answer.begin() + proto::kBlockSize, device.begin() + address);
        return std::optional<Outcome>();
      },
      onlyImage);
}

bool CWriter::MakeFlashBuffer(const std::string& hexFile, ImageUse use) {
  view_.SetStatus("Making FlashBuffer");
  const auto start = static_cast<std::uint32_t>(spec.m_nStartAddr);
  const auto end = static_cast<std::uint32_t>(spec.m_nEndAddr);
  const ImageResult result = LoadImage(hexFile, binaryBase, start, end, FlashBuffer);
  return AcceptImage(result, use);
}

bool CWriter::MakeFlashBuffer(std::istream& image, ImageUse use) {
  view_.SetStatus("Making FlashBuffer");
  FlashBuffer.fill(0xFF);
  const ImageResult result = ReadImage(image, static_cast<std::uint32_t>(spec.m_nStartAddr),
                                       static_cast<std::uint32_t>(spec.m_nEndAddr), FlashBuffer);
  return AcceptImage(result, use);
}

bool CWriter::AcceptImage(const ImageResult& result, ImageUse use) {
  if (result.error != ImageError::kNone) {
    view_.MessageBox(ImageErrorText(result), kDecoderCaption, BoxIcon::kNone);
    return false;
  }
  if (use == ImageUse::kProgram && result.dataBytes == 0) {
    view_.MessageBox(kNoDataText, kDecoderCaption, BoxIcon::kNone);
    return false;
  }
  return true;
}

Outcome CWriter::RunProgramVerify(const std::string& hexFile) {
  SetBlockRange();
  return MakeFlashBuffer(hexFile, ImageUse::kProgram) ? ProgramVerify() : Outcome::kNoImage;
}

Outcome CWriter::RunProgramVerify(std::istream& image) {
  SetBlockRange();
  return MakeFlashBuffer(image, ImageUse::kProgram) ? ProgramVerify() : Outcome::kNoImage;
}

Outcome CWriter::RunProgramVerify(const BurnPlan* plan) {
  SetBlockRange();
  return ProgramVerify(plan);
}

Outcome CWriter::RunReadCompare() {
  SetBlockRange();
  return ReadCompare();
}

Outcome CWriter::RunReadCompare(const std::string& hexFile) {
  SetBlockRange();
  return MakeFlashBuffer(hexFile) ? ReadCompare() : Outcome::kNoImage;
}

Outcome CWriter::ReadDeviceToFile(const std::string& path, ImageFormat format, bool skipBlank) {
  view_.SetStatus(reporter_.Text(msg::kReading));
  FlashImage device;
  device.fill(0xFF);
  const Outcome outcome = ReadDevice(device);
  if (outcome != Outcome::kOk) return outcome;
  const std::string contents =
      FormatImage(device, static_cast<std::uint32_t>(spec.m_nStartAddr),
                  static_cast<std::uint32_t>(spec.m_nEndAddr), format, skipBlank);
  std::string error;
  const std::string title = reporter_.Text(msg::kReadToFile);
  if (!WriteFileAtomically(PathFromUtf8(path), contents, &error)) {
    reporter_.ReportMessage(title + " NG !!\n " + path + ": " + error, kWarning);
    return Outcome::kNoImage;
  }
  reporter_.ReportMessage(title + " OK !!\n " + path, kInformation);
  return Outcome::kOk;
}

Outcome CWriter::RunCheckAgainstDevice(const std::string& hexFile, BurnPlan& plan) {
  SetBlockRange();
  return MakeFlashBuffer(hexFile, ImageUse::kProgram) ? CheckAgainstDevice(plan)
                                                      : Outcome::kNoImage;
}

Outcome CWriter::CheckAgainstDevice(BurnPlan& plan) {
  view_.SetStatus(reporter_.Text(msg::kChecking));
  FlashImage device;
  device.fill(0xFF);
  const Outcome outcome = ReadDevice(device, "Check Canceled", reading == ReadMode::kImage);
  if (outcome != Outcome::kOk) return outcome;
  plan = MakeBurnPlan(FlashBuffer, device, static_cast<std::uint32_t>(spec.m_nStartAddr),
                      static_cast<std::uint32_t>(spec.m_nEndAddr));
  plan.unread = (spec.m_nSize >> 8) - BlocksRead();
  char counts[256];
  const std::string title = reporter_.Text(msg::kPlan);
  // Reading only the image's blocks, the plan says how many it left unread.
  std::string unread;
  if (plan.unread > 0) {
    char text[128];
    std::snprintf(text, sizeof(text), reporter_.Text(msg::kPlanUnread).c_str(), plan.unread);
    unread = text;
  }
  if (plan.Good()) {
    std::snprintf(counts, sizeof(counts), reporter_.Text(msg::kPlanGood).c_str(),
                  plan.Count(BlockClass::kWrite), plan.Count(BlockClass::kDone),
                  plan.Count(BlockClass::kCompletable), plan.Count(BlockClass::kSkip));
    reporter_.ReportMessage(title + " OK !!\n" + counts + unread, kInformation);
    return Outcome::kOk;
  }
  const Conflict& first = plan.conflicts.front();
  std::snprintf(counts, sizeof(counts), reporter_.Text(msg::kPlanConflicts).c_str(),
                plan.Count(BlockClass::kConflict), plan.Count(BlockClass::kWrite),
                plan.Count(BlockClass::kDone), plan.Count(BlockClass::kCompletable),
                static_cast<unsigned>(first.address), unsigned{first.device}, unsigned{first.file});
  reporter_.ReportMessage(title + " NG !!" + counts + unread, kWarning);
  return Outcome::kNotGood;
}

Outcome CWriter::ProgramVerify(const BurnPlan* plan) {
  view_.SetStatus(reporter_.Text(msg::kProgrammingVerifying));
  programBlocksSent = 0;
  failedBlock.reset();
  bool failed = false;
  std::uint32_t address = static_cast<std::uint32_t>(spec.m_nStartAddr);
  while (address < kAddressSpaceEnd) {
    if (view_.CheckCancelButton()) {
      reporter_.ReportMessage("Programming Canceled", kInformation);
      return Outcome::kCanceled;
    }
    const std::uint8_t* block = &FlashBuffer[address];
    if (plan ? plan->NeedsProgramming(address) : !IsBlank(block)) {
      if (programBlocksSent == 0 && beforeFirstProgramBlock && !beforeFirstProgramBlock()) {
        return Outcome::kNoImage;
      }
      if (link.SendCommand(proto::kCmdProgramBlock, static_cast<std::uint16_t>(address),
                           proto::kBlockSize) != proto::kStatusAccepted) {
        failedBlock = address;
        return Outcome::kFailed;
      }
      ++programBlocksSent;
      const std::uint8_t result = link.WriteBlock(block);
      if (const unsigned id = StatusMessage(StatusContext::kProgramStatus, result)) {
        reporter_.ReportResult(id, kError, kNoVerdict);
        failedBlock = address;
        failed = true;
        break;
      }
    }
    view_.StepIt();
    address += proto::kBlockSize;
  }
  reporter_.ReportResult(msg::kProgramVerify, kInformation, failed ? kVerdictNg : kVerdictOk);
  return failed ? Outcome::kFailed : Outcome::kOk;
}

Outcome CWriter::ReadCompare() {
  const std::string reading = reporter_.Text(msg::kReadingComparing);
  view_.SetStatus(reading);
  if (this->reading == ReadMode::kImage) SetBlockRange(BlocksRead());
  bool differed = false;
  const Outcome outcome = ReadEachBlock(
      "Read+Compare Canceled", "Read+Compare",
      [&](std::uint32_t address, const BlockAnswer& answer) -> std::optional<Outcome> {
        for (std::size_t i = 0; i < proto::kBlockSize; ++i) {
          const std::uint8_t device = answer[i];
          const std::uint8_t image = FlashBuffer[address + i];
          if (device == image) continue;
          differed = true;
          view_.OnDifference(static_cast<std::uint32_t>(address + i), device, image);
          view_.SetStatus("Difference is detected.\n" +
                          Format(" Address : 0x%04X\n OTPmemory : 0x%02X\n HexFile        : 0x%02X",
                                 static_cast<unsigned>(address + i), device, image));
          view_.SetStatusIcon(kIconExclamation);
          view_.ShowContinueButton(true);
          while (true) {
            // Cancel wins when both were pressed since the previous look.
            if (view_.CheckCancelButton()) {
              view_.ShowContinueButton(false);
              reporter_.ReportMessage("Read+Compare Canceled", kInformation);
              return Outcome::kCanceled;
            }
            if (view_.CheckContinueButton()) break;
            clock_.Sleep(kDifferencePoll);
          }
          view_.ShowContinueButton(false);
          view_.SetStatus(reading);
          view_.SetStatusIcon(kIconNone);
        }
        return std::nullopt;
      },
      this->reading == ReadMode::kImage);
  // A device that differs from the image is never reported as OK, even when the operator
  // went past every difference.
  if (outcome != Outcome::kOk) return outcome;
  reporter_.ReportResult(msg::kReadCompare, kInformation, differed ? kVerdictNg : kVerdictOk);
  return differed ? Outcome::kNotGood : Outcome::kOk;
}

}  // namespace otp
