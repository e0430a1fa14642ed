#include "hexfile/RecordDecoder.h"

#include "hexfile/SRecord.h"

namespace otp {

namespace {

// Reads lines as its decoder needs them: first the line the format was chosen by.
class LineSource {
 public:
  LineSource(TextLineReader& reader, int emptyLines, bool hasFirst, TextLineReader::Line first)
      : reader_(reader), emptyLines_(emptyLines), hasFirst_(hasFirst), first_(std::move(first)) {}

  // The next line: the empty lines and the line read to choose the format come first.
  bool Next(TextLineReader::Line& line) {
    if (emptyLines_ > 0) {
      --emptyLines_;
      line = TextLineReader::Line{};
      return true;
    }
    if (hasFirst_) {
      hasFirst_ = false;
      line = std::move(first_);
      return true;
    }
    return reader_.Next(line);
  }
  TextLineReader& reader() { return reader_; }

 private:
  TextLineReader& reader_;
  int emptyLines_;
  bool hasFirst_;
  TextLineReader::Line first_;
};

bool IsSkippedType(char type) {
  return type == '0' || type == '5' || type == '7' || type == '8' || type == '9';
}

// S-records: S1, S2 and S3 carry data; S0, S5, S7, S8 and S9 are skipped unread; the
// termination record does not end the file.
class SRecordDecoder final : public RecordDecoder {
 public:
  explicit SRecordDecoder(LineSource lines) : lines_(std::move(lines)) {
    lines_.reader().SetSettleEarly(true);
  }
  ImageFormat format() const override { return ImageFormat::kSRecord; }

  Step Next(ImageRecord& record) override {
    while (true) {
      ++line_;
      if (!lines_.Next(text_)) {
        return lines_.reader().failed() ? Fail(ImageError::kReadFailure) : Step::kEnd;
      }
      if (text_.Empty()) continue;
      if (text_.head[0] != 'S') return Fail(ImageError::kNotARecord);
      const char type = text_.head.size() > 1 ? text_.head[1] : '\0';
      if (IsSkippedType(type)) {
        if (!text_.complete) lines_.reader().SkipRestOfLine();
        continue;
      }
      if (type != '1' && type != '2' && type != '3') return Fail(ImageError::kUnknownType);
      std::uint32_t address = 0;
      int dataOffset = 0;
      const int count =
          text_.tailAllHex ? DecodeSRecord(text_.head, bytes_, address, dataOffset) : 0;
      if (count == 0) return Fail(ImageError::kBadRecord);
      record = ImageRecord{address, bytes_.data() + dataOffset, static_cast<std::size_t>(count)};
      return Step::kRecord;
    }
  }

 private:
  LineSource lines_;
  TextLineReader::Line text_;
  std::array<std::uint8_t, 256> bytes_{};
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Intel HEX: ':' then byte count, 16-bit offset, type, data and checksum in hexadecimal
// pairs, the 8-bit sum of all bytes 0. Types 00 data, 01 end of file (nothing after it is
// read), 02 extended segment address, 04 extended linear address, 03 and 05 start
// addresses (skipped). Every other line, and a file without an end record, is an error:
// a wrong checksum and a missing end record each of its own kind.
class IntelHexDecoder final : public RecordDecoder {
 public:
  explicit IntelHexDecoder(LineSource lines) : lines_(std::move(lines)) {}
  ImageFormat format() const override { return ImageFormat::kIntelHex; }

  Step Next(ImageRecord& record) override {
    if (ended_) return Step::kEnd;
    while (true) {
      ++line_;
      if (!lines_.Next(text_)) {
        if (lines_.reader().failed()) return Fail(ImageError::kReadFailure);
        return Fail(ImageError::kNoEndRecord);
      }
      if (text_.Empty()) continue;
      const std::string& head = text_.head;
      // One record is at most 1 + 2 * (5 + 255) characters: a longer line is no record.
      if (!text_.complete || text_.overflow || head[0] != ':' || head.size() % 2 == 0) {
        return Fail(ImageError::kBadRecord);
      }
      std::size_t count = 0;
      unsigned sum = 0;
      for (std::size_t i = 1; i + 1 < head.size(); i += 2) {
        const int high = HexDigit(head[i]);
        const int low = HexDigit(head[i + 1]);
        if (high < 0 || low < 0) return Fail(ImageError::kBadRecord);
        bytes_[count] = static_cast<std::uint8_t>(high * 16 + low);
        sum += bytes_[count++];
      }
      if (count < 5 || bytes_[0] != count - 5) return Fail(ImageError::kBadRecord);
      if ((sum & 0xFF) != 0) return Fail(ImageError::kChecksum);
      const std::size_t size = bytes_[0];
      const std::uint32_t offset = static_cast<std::uint32_t>(bytes_[1] << 8 | bytes_[2]);
      const std::uint32_t value =
          size == 2 ? static_cast<std::uint32_t>(bytes_[4] << 8 | bytes_[5]) : 0;
      switch (bytes_[3]) {
        case 0x00:
          record = ImageRecord{base_ + offset, bytes_.data() + 4, size};
          return Step::kRecord;
        case 0x01:
          if (size != 0) return Fail(ImageError::kBadRecord);
          ended_ = true;
          ++line_;  // the end record is read: the counter stands after it, as after a file
          return Step::kEnd;
        case 0x02:
          if (size != 2) return Fail(ImageError::kBadRecord);
          base_ = std::uint64_t{value} << 4;
          continue;
        case 0x04:
          if (size != 2) return Fail(ImageError::kBadRecord);
          base_ = std::uint64_t{value} << 16;
          continue;
        case 0x03:
        case 0x05:
          if (size != 4) return Fail(ImageError::kBadRecord);
          continue;
        default:
          return Fail(ImageError::kBadRecord);
      }
    }
  }

 private:
  LineSource lines_;
  TextLineReader::Line text_;
  std::array<std::uint8_t, 260> bytes_{};
  std::uint64_t base_ = 0;
  bool ended_ = false;
};

}  // namespace

std::unique_ptr<RecordDecoder> MakeRecordDecoder(TextLineReader& reader) {
  // The first line that is not empty decides; every line is read whole for it.
  reader.SetSettleEarly(false);
  int emptyLines = 0;
  TextLineReader::Line first;
  bool hasFirst = false;
  while (reader.Next(first)) {
    if (!first.Empty()) {
      hasFirst = true;
      break;
    }
    ++emptyLines;
  }
  const bool intelHex = hasFirst && first.head[0] == ':';
  LineSource lines(reader, emptyLines, hasFirst, std::move(first));
  if (intelHex) return std::make_unique<IntelHexDecoder>(std::move(lines));
  return std::make_unique<SRecordDecoder>(std::move(lines));
}

}  // namespace otp
