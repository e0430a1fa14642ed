#include "hexfile/FlashBuffer.h"

#include <algorithm>
#include <cctype>
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
    case ImageError::kOutsideArea:
      return "byte at offset 0x%zX outside the OTP area";
    case ImageError::kChecksum:
      return "checksum error in %d";
    case ImageError::kNoEndRecord:
      return "no end record (decode error in %d)";
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
  if (result.error == ImageError::kOutsideArea) {
    std::snprintf(text, sizeof(text), MessageFormat(result.error), result.offset);
  } else {
    std::snprintf(text, sizeof(text), MessageFormat(result.error), result.line);
  }
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
  result.format = decoder.format();
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
  if (!OpenHexFile(hexFile, file)) return ImageResult{ImageError::kOpenFailed};
  return ReadImage(file, startAddr, endAddr, flash, coverage);
}

bool IsBinaryFileName(std::string_view name) {
  if (name.size() < 4) return false;
  std::string extension(name.substr(name.size() - 4));
  for (char& c : extension)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == ".bin";
}

ImageResult LoadBinaryFile(const std::string& file, std::uint32_t base, std::uint32_t startAddr,
                           std::uint32_t endAddr, FlashImage& flash, ImageCoverage* coverage) {
  flash.fill(0xFF);
  std::ifstream in;
  ImageResult result;
  result.format = ImageFormat::kBinary;
  if (!OpenHexFile(file, in)) {
    result.error = ImageError::kOpenFailed;
    return result;
  }
  char buffer[4096];
  std::size_t offset = 0;
  while (in.read(buffer, sizeof(buffer)) || in.gcount() > 0) {
    const auto count = static_cast<std::size_t>(in.gcount());
    for (std::size_t i = 0; i < count; ++i, ++offset) {
      const std::uint64_t address = std::uint64_t{base} + offset;
      if (address < startAddr || address > endAddr) {
        result.error = ImageError::kOutsideArea;
        result.offset = offset;
        return result;
      }
      flash[address] = static_cast<std::uint8_t>(buffer[i]);
      if (coverage) (*coverage)[address] = 1;
      ++result.dataBytes;
    }
  }
  if (in.bad()) result.error = ImageError::kReadFailure;
  return result;
}

}  // namespace otp

namespace otp {

ImageResult LoadImage(const std::string& file, std::optional<std::uint32_t> binaryBase,
                      std::uint32_t startAddr, std::uint32_t endAddr, FlashImage& flash,
                      ImageCoverage* coverage) {
  if (binaryBase && IsBinaryFileName(file)) {
    return LoadBinaryFile(file, *binaryBase, startAddr, endAddr, flash, coverage);
  }
  return LoadImageFile(file, startAddr, endAddr, flash, coverage);
}

const char* ImageFormatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::kSRecord:
      return "S-record";
    case ImageFormat::kIntelHex:
      return "Intel HEX";
    case ImageFormat::kBinary:
      return "binary";
  }
  return "";
}

}  // namespace otp
