#include "hexfile/FlashBuffer.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "core/Utf8Path.h"
#include "hexfile/SRecord.h"
#include "hexfile/TextLineReader.h"

namespace otp {

namespace {

const char* MessageFormat(ImageError error) {
  switch (error) {
    case ImageError::kNotARecord:
      return "file error in %d";
    case ImageError::kUnknownType:
      return "S-format error in %d";
    case ImageError::kBadRecord:
      return "decode error in %d";
    case ImageError::kBelowArea:
    case ImageError::kAboveArea:
      return "address error in %d";
    case ImageError::kReadFailure:
      return "file read error in %d";
    case ImageError::kOpenFailed:
      return "file open error";
    case ImageError::kNone:
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

std::string ImageErrorText(const ImageResult& result) {
  char text[64];
  std::snprintf(text, sizeof(text), MessageFormat(result.error), result.line);
  return text;
}

ImageResult ReadImage(std::istream& in, std::uint32_t startAddr, std::uint32_t endAddr,
                      FlashImage& flash, ImageCoverage* coverage) {
  TextLineReader reader(in);
  TextLineReader::Line line;
  std::array<std::uint8_t, 256> bytes{};
  ImageResult result;
  auto stop = [&result](ImageError error) {
    result.error = error;
    return result;
  };
  while (true) {
    ++result.line;
    if (!reader.Next(line)) {
      if (reader.failed()) return stop(ImageError::kReadFailure);
      return result;
    }
    if (line.Empty()) continue;
    if (line.head[0] != 'S') return stop(ImageError::kNotARecord);
    const char type = line.head.size() > 1 ? line.head[1] : '\0';
    if (IsSkippedType(type)) {
      if (!line.complete) reader.SkipRestOfLine();
      continue;
    }
    if (type != '1' && type != '2' && type != '3') return stop(ImageError::kUnknownType);
    std::uint32_t address = 0;
    int dataOffset = 0;
    const int count = line.tailAllHex ? DecodeSRecord(line.head, bytes, address, dataOffset) : 0;
    if (count == 0) return stop(ImageError::kBadRecord);
    if (address < startAddr) return stop(ImageError::kBelowArea);
    // Formed without wrap-around: a record at the top of the 32-bit space is above too.
    if (static_cast<std::uint64_t>(address) + static_cast<std::uint64_t>(count) - 1 > endAddr) {
      return stop(ImageError::kAboveArea);
    }
    std::copy_n(bytes.begin() + dataOffset, count, flash.begin() + address);
    if (coverage) {
      for (int k = 0; k < count; ++k)
        coverage->set(address + k);
    }
    result.dataBytes += static_cast<std::size_t>(count);
  }
}

ImageResult LoadImageFile(const std::string& hexFile, std::uint32_t startAddr,
                          std::uint32_t endAddr, FlashImage& flash, ImageCoverage* coverage) {
  flash.fill(0xFF);
  std::ifstream file;
  if (!OpenHexFile(hexFile, file)) return ImageResult{ImageError::kOpenFailed, 0, 0};
  return ReadImage(file, startAddr, endAddr, flash, coverage);
}

}  // namespace otp
