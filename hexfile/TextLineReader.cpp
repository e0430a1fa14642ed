#include "hexfile/TextLineReader.h"

namespace otp {

namespace {

constexpr int kCtrlZ = 0x1A;

bool IsUpperHex(int c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}
bool IsRecordType(char c) {
  return c == '1' || c == '2' || c == '3';
}

}  // namespace

int TextLineReader::Get() {
  if (pending_ >= 0) {
    const int c = pending_;
    pending_ = -1;
    return c;
  }
  if (atEnd_) return -1;
  if (pos_ == end_) {
    in_.read(buffer_, sizeof(buffer_));
    end_ = static_cast<std::size_t>(in_.gcount());
    pos_ = 0;
    if (in_.bad()) failed_ = true;
    if (end_ == 0) {
      atEnd_ = true;
      return -1;
    }
  }
  const int c = static_cast<unsigned char>(buffer_[pos_++]);
  if (c == kCtrlZ) {
    atEnd_ = true;
    return -1;
  }
  return c;
}

// Whether the rest of a line with `length` characters so far can change nothing that an
// S-record line depends on.
bool TextLineReader::Settled(const Line& line, std::size_t length) {
  if (length >= 1 && line.head[0] != 'S') return true;
  if (length >= 2 && !IsRecordType(line.head[1])) return true;
  return !line.tailAllHex;
}

bool TextLineReader::Next(Line& line) {
  line.head.clear();
  line.tailAllHex = true;
  line.complete = true;
  std::size_t length = 0;
  int c = Get();
  if (c < 0) return false;
  for (; c >= 0; c = Get()) {
    if (c == '\n') return true;
    if (c == '\r') {
      const int next = Get();
      if (next == '\n') return true;
      pending_ = next;  // a carriage return not followed by a line feed stays in the line
    }
    if (length < kHeadSize) {
      line.head.push_back(static_cast<char>(c));
      // Characters after the type must all be hexadecimal digits; one that is not
      // settles the line at once.
      if (length >= 2 && !IsUpperHex(c)) line.tailAllHex = false;
    } else if (!IsUpperHex(c)) {
      line.tailAllHex = false;
    }
    ++length;
    if (Settled(line, length)) {
      line.complete = false;
      return true;
    }
  }
  return true;
}

void TextLineReader::SkipRestOfLine() {
  for (int c = Get(); c >= 0; c = Get()) {
    if (c == '\n') return;
  }
}

}  // namespace otp
