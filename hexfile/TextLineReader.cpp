#include "hexfile/TextLineReader.h"

#include <algorithm>
#include <cstring>

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

bool TextLineReader::Fill() {
  if (atEnd_ || ctrlZ_) {
    atEnd_ = true;
    return false;
  }
  in_.read(buffer_, sizeof(buffer_));
  end_ = static_cast<std::size_t>(in_.gcount());
  pos_ = 0;
  if (in_.bad()) failed_ = true;
  // A Ctrl-Z ends the file: the buffer ends before it.
  if (const void* z = std::memchr(buffer_, kCtrlZ, end_)) {
    end_ = static_cast<std::size_t>(static_cast<const char*>(z) - buffer_);
    ctrlZ_ = true;
  }
  if (end_ == 0) {
    atEnd_ = true;
    return false;
  }
  return true;
}

int TextLineReader::Get() {
  if (pending_ >= 0) {
    const int c = pending_;
    pending_ = -1;
    return c;
  }
  if (atEnd_) return -1;
  if (pos_ == end_ && !Fill()) return -1;
  return static_cast<unsigned char>(buffer_[pos_++]);
}

bool TextLineReader::TakeWholeLine(Line& line) {
  if (pending_ >= 0 || pos_ == end_) return false;
  const char* start = buffer_ + pos_;
  const std::size_t window = std::min(end_ - pos_, kHeadSize + 2);
  const auto* lf = static_cast<const char*>(std::memchr(start, '\n', window));
  if (!lf) return false;
  std::size_t length = static_cast<std::size_t>(lf - start);
  if (length > 0 && start[length - 1] == '\r') --length;
  if (length > kHeadSize || std::memchr(start, '\r', length)) return false;
  line.head.assign(start, length);
  line.tailAllHex = true;
  line.complete = true;
  line.overflow = false;
  pos_ += static_cast<std::size_t>(lf - start) + 1;
  return true;
}

// Whether the rest of a line with `length` characters so far can change nothing that an
// S-record line depends on.
bool TextLineReader::Settled(const Line& line, std::size_t length) {
  if (length >= 1 && line.head[0] != 'S') return true;
  if (length >= 2 && !IsRecordType(line.head[1])) return true;
  return !line.tailAllHex;
}

bool TextLineReader::Next(Line& line) {
  if (TakeWholeLine(line)) return true;
  line.head.clear();
  line.tailAllHex = true;
  line.complete = true;
  line.overflow = false;
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
    } else {
      line.overflow = true;
      if (!IsUpperHex(c)) line.tailAllHex = false;
    }
    ++length;
    if (settleEarly_ && Settled(line, length)) {
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
