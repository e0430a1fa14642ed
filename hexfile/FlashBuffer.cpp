#include "hexfile/FlashBuffer.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "core/Utf8Path.h"
#include "hexfile/RecordDecoder.h"
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
  const std::unique_ptr<RecordDecoder> decoder = MakeRecordDecoder(reader);
  return BuildImage(*decoder, startAddr, endAddr, flash, coverage);
}

ImageResult BuildImage(RecordDecoder& decoder, std::uint32_t startAddr, std::uint32_t endAddr,
                       FlashImage& flash, ImageCoverage* coverage) {
  ImageResult result;
  ImageRecord record;
  while (true) {
    const RecordDecoder::Step step = decoder.Next(record);
    result.line = decoder.line();
    if (step == RecordDecoder::Step::kEnd) return result;
    if (step == RecordDecoder::Step::kError) {
      result.error = decoder.error();
      return result;
    }
    // A record lies wholly inside the area or is refused whole; its last address is
    // formed without wrap-around, so a record at the top of the address space is above.
    if (record.address < startAddr) {
      result.error = ImageError::kBelowArea;
      return result;
    }
    if (record.address + record.size - 1 > endAddr) {
      result.error = ImageError::kAboveArea;
      return result;
    }
    std::copy_n(record.data, record.size,
                flash.begin() + static_cast<std::ptrdiff_t>(record.address));
    if (coverage) {
      std::fill_n(coverage->begin() + static_cast<std::ptrdiff_t>(record.address), record.size, 1);
    }
    result.dataBytes += record.size;
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
