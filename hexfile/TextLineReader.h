#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>

namespace otp {

/// Reads S-record text line by line as a text-mode read does on every platform: a line
/// ends at a line feed, a carriage return right before the line feed is dropped with it,
/// any other carriage return stays in the line, a Ctrl-Z ends the file, and a last line
/// without a line end counts.
///
/// Memory stays flat whatever the line lengths: a line keeps only its first kHeadSize
/// characters and whether every character after them is an upper-case hexadecimal digit.
/// That is all an S-record line can depend on, since a record holds at most 256 pairs.
/// A line returns early, before its end was read, as soon as its first two characters
/// show that it is no S1, S2 or S3 record, or it holds a character that no record holds.
class TextLineReader {
 public:
  static constexpr std::size_t kHeadSize = 1024;

  struct Line {
    std::string head;        // the first kHeadSize characters
    bool tailAllHex = true;  // every character after the head is 0-9 or A-F
    bool complete = true;    // false when the line returned before its end
    bool overflow = false;   // the line is longer than the head
    bool Empty() const { return head.empty() && complete; }
  };

  explicit TextLineReader(std::istream& in) : in_(in) {}

  /// Reads the next line; false at the end of the file.
  bool Next(Line& line);
  /// Whether a line may return before its end once an S-record line's fate is settled
  /// (on by default); off, every line is read to its end.
  void SetSettleEarly(bool early) { settleEarly_ = early; }
  /// Reads past the end of a line that Next returned before its end.
  void SkipRestOfLine();
  /// True when reading stopped because the file could not be read.
  bool failed() const { return failed_; }

 private:
  int Get();    // next byte, or -1 at the end of the file (also at Ctrl-Z and on errors)
  bool Fill();  // reads the next piece of the file; false at its end
  /// A whole line that lies in the buffer, fits the head and holds no carriage return
  /// but the one of its ending: taken at once, without looking at each character.
  bool TakeWholeLine(Line& line);
  static bool Settled(const Line& line, std::size_t length);

  std::istream& in_;
  char buffer_[65536];
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool atEnd_ = false;
  bool ctrlZ_ = false;  // the buffer ends where a Ctrl-Z ended the file
  bool settleEarly_ = true;
  bool failed_ = false;
  int pending_ = -1;  // a byte read ahead after a carriage return
};

}  // namespace otp
