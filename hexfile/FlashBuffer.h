#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>

namespace otp {

/// The program image: one byte per 16-bit target address.
using FlashImage = std::array<std::uint8_t, 0x10000>;

/// Why building an image stopped.
enum class ImageError {
  kNone = 0,
  kNotARecord = 1,    // a line does not begin with "S"
  kUnknownType = 2,   // a type other than 0-3, 5, 7, 8, 9
  kBadRecord = 3,     // the decoder rejected the line
  kBelowArea = 4,     // a record's first address is below the OTP area
  kAboveArea = 5,     // a record's last address is above the OTP area
  kReadFailure = 6,   // the file could not be read to its end
  kOpenFailed = 7,    // the file could not be opened
  kOutsideArea = 8,   // a byte of a binary file falls outside the area (`offset`: the first)
  kChecksum = 9,      // an Intel HEX record whose checksum is wrong
  kNoEndRecord = 10,  // an Intel HEX file without its end-of-file record
};

/// Formats of an image file.
enum class ImageFormat { kSRecord, kIntelHex, kBinary };

struct ImageResult {
  ImageError error = ImageError::kNone;
  ImageFormat format = ImageFormat::kSRecord;  // what the file was read as
  int line = 0;               // the line counter when reading stopped: the bad line, 1-based
  std::size_t dataBytes = 0;  // data bytes of the records taken, overlaps counted each time
  std::size_t offset = 0;     // kOutsideArea: the offset in the file of the first such byte
};

/// Which addresses the records of a file wrote: non-zero for each one written.
using ImageCoverage = std::array<std::uint8_t, 0x10000>;

/// Reads image text from `in` into `flash`: Intel HEX when its first line that is not
/// empty begins with ':', S-record otherwise. S-record: the data of every S1, S2 and S3
/// record; header, count and termination records are skipped. Every record must lie
/// wholly inside `startAddr`..`endAddr`, and every line counts, empty ones too. Stops at
/// the first bad line. Addresses that no record covers are left as they are. Marks every
/// address written in `coverage` when one is given.
ImageResult ReadImage(std::istream& in, std::uint32_t startAddr, std::uint32_t endAddr,
                      FlashImage& flash, ImageCoverage* coverage = nullptr);

class RecordDecoder;
/// Copies the records of `decoder` into `flash`, each of which must lie wholly inside
/// `startAddr`..`endAddr`, later records over earlier ones; stops at the first bad one.
ImageResult BuildImage(RecordDecoder& decoder, std::uint32_t startAddr, std::uint32_t endAddr,
                       FlashImage& flash, ImageCoverage* coverage = nullptr);

/// The message for a failed load, with its line number: "decode error in 4".
std::string ImageErrorText(const ImageResult& result);

/// Caption of the boxes that show a load's errors.
inline constexpr const char* kDecoderCaption = "S format decoder";
/// Text for a file that was read without error but holds no data byte.
inline constexpr const char* kNoDataText = "no data in file";

/// Builds `flash` from the image file `hexFile` (relative names against the current
/// folder): every byte 0xFF first, then ReadImage. A name that is not a regular file
/// gives kOpenFailed. The file is closed when this returns.
ImageResult LoadImageFile(const std::string& hexFile, std::uint32_t startAddr,
                          std::uint32_t endAddr, FlashImage& flash,
                          ImageCoverage* coverage = nullptr);

/// Builds `flash` from `file`, the one way every face reads an image: raw bytes placed
/// from `binaryBase` when one is given and the name ends in ".bin", else text (S-record
/// or Intel HEX, by its content).
ImageResult LoadImage(const std::string& file, std::optional<std::uint32_t> binaryBase,
                      std::uint32_t startAddr, std::uint32_t endAddr, FlashImage& flash,
                      ImageCoverage* coverage = nullptr);

/// "S-record", "Intel HEX" or "binary".
const char* ImageFormatName(ImageFormat format);

/// Whether `name` ends in ".bin", ignoring case: a raw binary image.
bool IsBinaryFileName(std::string_view name);

/// Builds `flash` from the raw bytes of `file` placed from `base` on: every byte 0xFF
/// first; each byte must fall inside `startAddr`..`endAddr` (kOutsideArea names the
/// offset of the first that does not).
ImageResult LoadBinaryFile(const std::string& file, std::uint32_t base, std::uint32_t startAddr,
                           std::uint32_t endAddr, FlashImage& flash,
                           ImageCoverage* coverage = nullptr);

}  // namespace otp
