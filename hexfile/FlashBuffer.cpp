#include "hexfile/FlashBuffer.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "core/Utf8Path.h"
#include "hexfile/SRecord.h"
#include "hexfile/TextLineReader.h"

namespace otp {

namespace {

enum ErrorCode {
  kNoError = 0,
  kNotARecord = 1,   // the line does not begin with "S"
  kUnknownType = 2,  // a type other than 0-3, 5, 7, 8, 9
  kBadRecord = 3,    // the decoder rejected the line
  kBelowArea = 4,    // first address below the OTP area
  kAboveArea = 5,    // last address above the OTP area
  kReadFailure = 6,  // the file could not be read to its end
};

const char* MessageFormat(ErrorCode code) {
  switch (code) {
    case kNotARecord:
      return "file error in %d";
    case kUnknownType:
      return "S-format error in %d";
    case kBadRecord:
      return "decode error in %d";
    case kBelowArea:
    case kAboveArea:
      return "address error in %d";
    case kReadFailure:
      return "file read error in %d";
    case kNoError:
      break;
  }
  return "";
}

bool IsSkippedType(char type) {
  return type == '0' || type == '5' || type == '7' || type == '8' || type == '9';
}

// Opens a regular file: anything else (a folder, a device, a pipe) could not be read as
// a finite file and counts as a file that cannot be opened.
bool OpenHexFile(const std::string& name, std::ifstream& file) {
  if (name.empty()) return false;
  const std::filesystem::path path = PathFromUtf8(name);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  file.open(path, std::ios::binary);
  return file.is_open();
}

}  // namespace

bool MakeFlashBuffer(const std::string& hexFile, std::int32_t startAddr, std::int32_t endAddr,
                     FlashImage& flash, OperationView& view) {
  view.SetStatus("Making FlashBuffer");
  flash.fill(0xFF);

  std::ifstream file;
  if (!OpenHexFile(hexFile, file)) {
    view.MessageBox("file open error", kDecoderCaption, BoxIcon::kNone);
    return false;
  }

  const auto first = static_cast<std::uint32_t>(startAddr);
  const auto last = static_cast<std::uint32_t>(endAddr);
  TextLineReader reader(file);
  TextLineReader::Line line;
  std::array<std::uint8_t, 256> bytes{};
  int lineNumber = 0;
  ErrorCode error = kNoError;
  while (true) {
    ++lineNumber;
    if (!reader.Next(line)) {
      if (reader.failed()) error = kReadFailure;
      break;
    }
    if (line.Empty()) continue;
    if (line.head[0] != 'S') {
      error = kNotARecord;
      break;
    }
    const char type = line.head.size() > 1 ? line.head[1] : '\0';
    if (IsSkippedType(type)) {
      if (!line.complete) reader.SkipRestOfLine();
      continue;
    }
    if (type != '1' && type != '2' && type != '3') {
      error = kUnknownType;
      break;
    }
    std::uint32_t address = 0;
    int dataOffset = 0;
    const int count = line.tailAllHex ? DecodeSRecord(line.head, bytes, address, dataOffset) : 0;
    if (count == 0) {
      error = kBadRecord;
      break;
    }
    if (address < first) {
      error = kBelowArea;
      break;
    }
    // Formed without wrap-around: a record at the top of the 32-bit space is above too.
    if (static_cast<std::uint64_t>(address) + static_cast<std::uint64_t>(count) - 1 > last) {
      error = kAboveArea;
      break;
    }
    for (int k = 0; k < count; ++k)
      flash[address + k] = bytes[dataOffset + k];
  }
  file.close();

  if (error != kNoError) {
    char text[64];
    std::snprintf(text, sizeof(text), MessageFormat(error), lineNumber);
    view.MessageBox(text, kDecoderCaption, BoxIcon::kNone);
    return false;
  }
  return true;
}

}  // namespace otp
