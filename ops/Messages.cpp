#include "ops/Messages.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "core/Texts.h"
#include "core/Utf8Path.h"

namespace otp {

std::string ImageProblemText(const std::string& file, const ImageResult& result,
                             const ChipRow& model, Language language) {
  auto T = [language](std::string_view english,
                      std::initializer_list<std::string_view> values = {}) {
    return Tr(language, english, values);
  };
  const std::string line = std::to_string(result.line);
  std::string why;
  switch (result.error) {
    case ImageError::kNone:
      why = T("no data in file");
      break;
    case ImageError::kNotARecord:
      why = T("file error in line %1: not a record", {line});
      break;
    case ImageError::kUnknownType:
      why = T("S-format error in line %1: unknown record type", {line});
      break;
    case ImageError::kBadRecord:
      why = T("decode error in line %1", {line});
      break;
    case ImageError::kBelowArea:
    case ImageError::kAboveArea: {
      char area[16];
      std::snprintf(area, sizeof(area), "%04XH-%04XH", static_cast<unsigned>(model.startAddr),
                    static_cast<unsigned>(model.endAddr));
      why = T("address error in line %1: outside the OTP area %2", {line, area});
      break;
    }
    case ImageError::kReadFailure:
      why = T("read error in line %1", {line});
      break;
    case ImageError::kChecksum:
      why = T("checksum error in line %1", {line});
      break;
    case ImageError::kNoEndRecord:
      why = T("no end record (line %1)", {line});
      break;
    case ImageError::kOutsideArea: {
      char offset[24];
      std::snprintf(offset, sizeof(offset), "0x%zX", result.offset);
      why = T("the byte at offset %1 falls outside the OTP area", {offset});
      break;
    }
    case ImageError::kOpenFailed: {
      std::error_code ec;
      const auto path = PathFromUtf8(file);
      if (!std::filesystem::exists(path, ec)) {
        why = T("cannot be opened: no such file");
      } else if (std::filesystem::is_directory(path, ec)) {
        why = T("cannot be opened: it is a folder");
      } else {
        why = T("cannot be opened: no permission, or no regular file");
      }
      return file + ": " + why;
    }
  }
  return file + ": " + ImageFormatName(result.format) + ": " + why;
}

std::string SerialRuleErrorText(const std::string& text, SerialRuleError error, Language language) {
  switch (error) {
    case SerialRuleError::kNone:
      return {};
    case SerialRuleError::kNoFormat:
      return Tr(language, "--serial %1: expected ADDR:FORMAT", {text});
    case SerialRuleError::kBadAddress:
      return Tr(language, "--serial %1: bad address (0xFFF0 or FFF0H)", {text});
    case SerialRuleError::kBadFormat:
      return Tr(language, "--serial %1: FORMAT is le16, be16, le32, be32, bcd:N or ascii:N",
                {text});
    case SerialRuleError::kBadDigits:
      return Tr(language, "--serial %1: N is a number of digits from 1 to 19", {text});
  }
  return {};
}

std::string PlacementText(const SerialPlacement& placement, Language language) {
  char first[16];
  char second[24];
  switch (placement.problem) {
    case SerialPlacement::Problem::kNone:
      return {};
    case SerialPlacement::Problem::kOutsideArea:
      std::snprintf(first, sizeof(first), "0x%X", static_cast<unsigned>(placement.first));
      std::snprintf(second, sizeof(second), "0x%llX",
                    static_cast<unsigned long long>(placement.last));
      return Tr(language, "the serial number's bytes %1-%2 leave the OTP area", {first, second});
    case SerialPlacement::Problem::kOnImage:
      std::snprintf(first, sizeof(first), "0x%02X", placement.value);
      std::snprintf(second, sizeof(second), "0x%04X", static_cast<unsigned>(placement.first));
      return Tr(language, "the image already holds %1 at %2, where the serial number goes",
                {first, second});
  }
  return {};
}

std::string OutcomeWord(UnitOutcome outcome, Language language) {
  switch (outcome) {
    case UnitOutcome::kPass:
      return Tr(language, "PASS");
    case UnitOutcome::kFail:
      return Tr(language, "FAIL");
    case UnitOutcome::kStopped:
      return Tr(language, "STOPPED");
    case UnitOutcome::kAlreadyProgrammed:
      return Tr(language, "ALREADY PROGRAMMED");
    case UnitOutcome::kWrongPart:
      return Tr(language, "WRONG PART");
    case UnitOutcome::kBoardGone:
      return Tr(language, "BOARD GONE");
    case UnitOutcome::kPortProblem:
      return Tr(language, "PORT PROBLEM");
  }
  return {};
}

std::string DifferenceText(std::uint32_t address, std::uint8_t part, std::uint8_t file,
                           Language language) {
  return Tr(language, "first difference at %1: part %2, file %3",
            {Hex(address, 4) + "H", Hex(part, 2), Hex(file, 2)});
}

std::string NotWrittenText(const UnitCounts& counts, Language language) {
  std::string text;
  for (const UnitOutcome outcome : {UnitOutcome::kStopped, UnitOutcome::kAlreadyProgrammed,
                                    UnitOutcome::kWrongPart, UnitOutcome::kBoardGone}) {
    const int count = counts.NotWrittenOf(outcome);
    if (count == 0) continue;
    text +=
        (text.empty() ? "" : ", ") + OutcomeWord(outcome, language) + " " + std::to_string(count);
  }
  const int portProblems = counts.Of(UnitOutcome::kPortProblem);
  if (portProblems > 0) {
    text += (text.empty() ? "" : "; ") +
            Tr(language, "%1 %2 (no unit)",
               {OutcomeWord(UnitOutcome::kPortProblem, language), std::to_string(portProblems)});
  }
  return text;
}

std::string OutcomeInstruction(UnitOutcome outcome, Language language) {
  switch (outcome) {
    case UnitOutcome::kPass:
      return Tr(language, "Ship it");
    case UnitOutcome::kFail:
      return Tr(language, "Reject bin");
    case UnitOutcome::kStopped:
      return Tr(language, "Nothing written: use this part again");
    case UnitOutcome::kAlreadyProgrammed:
      return Tr(language, "Holds this job's image: set it aside");
    case UnitOutcome::kWrongPart:
      return Tr(language, "Holds other data: reject");
    case UnitOutcome::kBoardGone:
      return Tr(language, "The board stopped answering: check it");
    case UnitOutcome::kPortProblem:
      return Tr(language, "The adapter or port failed: check it");
  }
  return {};
}

std::string SerialRuleProblemText(const SerialRuleProblem& problem, Language language) {
  switch (problem.kind) {
    case SerialRuleProblem::Kind::kNone:
      return {};
    case SerialRuleProblem::Kind::kPlace:
      return PlacementText(problem.placement, language);
    case SerialRuleProblem::Kind::kStart:
      return Tr(language, "--serial-start %1 does not fit %2",
                {std::to_string(problem.first), problem.rule});
  }
  return {};
}

std::string SkippedJournalText(const Journal::Skipped& skipped, Language language) {
  const std::string file = Utf8FromPath(skipped.file);
  switch (skipped.why) {
    case Journal::Skipped::Why::kNotAFile:
      return Tr(language, "%1 is no regular file: not read as a journal", {file});
    case Journal::Skipped::Why::kTooLarge:
      return Tr(language, "%1 is larger than any journal: not read", {file});
    case Journal::Skipped::Why::kUnreadable:
      return Tr(language, "%1 cannot be read: not read as a journal", {file});
  }
  return {};
}

std::string SetAsideText(const std::filesystem::path& file, std::size_t units, Language language) {
  return Tr(language,
            "the journal %1 was set aside: the store refused some of its %2 units. Compare "
            "them with log, then move the file away; no start replays it",
            {Utf8FromPath(file), std::to_string(units)});
}

std::string DamagedJournalText(const std::filesystem::path& file,
                               const std::filesystem::path& aside, const JournalDamage& damage,
                               const std::vector<std::uint64_t>& spoiled, Language language) {
  const std::string where = Utf8FromPath(aside.empty() ? file : aside);
  const std::string numbers =
      spoiled.empty() ? Tr(language, "its station held no number") : NumberList(spoiled);
  return Tr(language,
            "the journal %1 is damaged (%2): nothing in it was recorded. The numbers of its "
            "station are spoiled and never issued again: %3. Check the boards its station "
            "burned last, and keep the file, now %4, with the batch's records",
            {Utf8FromPath(file), LineDamageText(damage, language), numbers, where});
}

std::string DamagedJournalFoundText(const std::filesystem::path& file, const JournalDamage& damage,
                                    bool setAside, Language language) {
  const std::string why = LineDamageText(damage, language);
  if (setAside) {
    return Tr(language,
              "the journal %1 was set aside damaged (%2): none of its units was recorded, its "
              "station's numbers are spoiled",
              {Utf8FromPath(file), why});
  }
  return Tr(language,
            "the journal %1 is damaged (%2): none of its units will be recorded; the next start "
            "of a station spoils its numbers and sets it aside",
            {Utf8FromPath(file), why});
}

std::string NumberList(std::vector<std::uint64_t> numbers) {
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  constexpr std::size_t kShown = 12;
  std::string out;
  std::size_t shown = 0;
  std::size_t i = 0;
  while (i < numbers.size() && shown < kShown) {
    std::size_t j = i;
    while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1)
      ++j;
    if (!out.empty()) out += ", ";
    out += std::to_string(numbers[i]);
    if (j > i) out += (j == i + 1 ? ", " : "-") + std::to_string(numbers[j]);
    shown += j > i ? 2 : 1;
    i = j + 1;
  }
  std::size_t rest = 0;
  for (; i < numbers.size(); ++i)
    ++rest;
  if (rest > 0) out += " (+" + std::to_string(rest) + ")";
  return out;
}

}  // namespace otp
