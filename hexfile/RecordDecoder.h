#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "hexfile/FlashBuffer.h"
#include "hexfile/TextLineReader.h"

namespace otp {

/// One record of an image file: data bytes for consecutive addresses from `address`
/// (which may lie anywhere: range checks are the builder's).
struct ImageRecord {
  std::uint64_t address = 0;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

/// A decoder of one text format of image files. It reads lines, counting every one as an
/// editor numbers them, and yields the data records in file order.
class RecordDecoder {
 public:
  enum class Step { kRecord, kEnd, kError };

  virtual ~RecordDecoder() = default;
  /// The next record; kEnd at the end of the data, kError with error() set at a bad line.
  virtual Step Next(ImageRecord& record) = 0;

  /// The format it reads.
  virtual ImageFormat format() const = 0;

  /// Why decoding stopped, once Next returned kError.
  ImageError error() const { return error_; }
  /// The line counter: the line of the last record or error; at the end, the line after
  /// the last one.
  int line() const { return line_; }

 protected:
  Step Fail(ImageError error) {
    error_ = error;
    return Step::kError;
  }
  ImageError error_ = ImageError::kNone;
  int line_ = 0;
};

/// The decoder for the text in `reader`, chosen by its content: Intel HEX when the first
/// line that is not empty begins with ':', S-record otherwise.
std::unique_ptr<RecordDecoder> MakeRecordDecoder(TextLineReader& reader);

}  // namespace otp
