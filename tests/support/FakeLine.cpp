#include "tests/support/FakeLine.h"

#include <algorithm>

namespace otp::test {

namespace {

class FakePort final : public SerialPort {
 public:
  explicit FakePort(FakeLine& line) : line_(line) { line_.isOpen = true; }
  ~FakePort() override { line_.isOpen = false; }

  ConfigResult Configure(std::int32_t baud) override {
    if (line_.configResult != ConfigResult::kOk) return line_.configResult;
    if (baud <= 0) return ConfigResult::kSettingRejected;
    line_.baud = baud;
    byteTimeUs_ = 1'000'000LL * kBitsPerByte / baud;
    line_.board().SetByteTime(byteTimeUs_);
    return ConfigResult::kOk;
  }

  ReadResult Read(std::uint8_t* buffer, std::size_t count) override {
    TestClock& clock = line_.clock();
    auto& output = line_.board().output();
    const std::int64_t start = clock.nowUs();
    const std::int64_t limit = start + timeouts::ReadLimit(count).count() * 1000;
    std::int64_t last = start;
    std::size_t got = 0;
    while (got < count) {
      const std::int64_t deadline =
          got == 0 ? limit : std::min(limit, last + timeouts::kReadInterval.count() * 1000);
      const auto hangUp = line_.board().hangUpAt();
      const bool byteDue = !output.empty() && output.front().atUs <= deadline &&
                           (!hangUp || output.front().atUs <= *hangUp);
      if (!byteDue) {
        if (hangUp && *hangUp <= deadline) {
          clock.AdvanceTo(*hangUp);
          return ReadResult{false, got};
        }
        clock.AdvanceTo(deadline);
        return ReadResult{true, got};
      }
      clock.AdvanceTo(output.front().atUs);
      buffer[got++] = output.front().byte;
      output.pop_front();
      last = clock.nowUs();
    }
    return ReadResult{true, got};
  }

  std::size_t Write(const std::uint8_t* data, std::size_t count) override {
    TestClock& clock = line_.clock();
    const std::int64_t start = clock.nowUs();
    const std::int64_t deadline = start + timeouts::WriteLimit(count).count() * 1000;
    std::size_t sent = 0;
    for (; sent < count; ++sent) {
      const std::int64_t done = std::max(clock.nowUs(), line_.lineFreeUs) + byteTimeUs_;
      const auto hangUp = line_.board().hangUpAt();
      if (done > deadline || (hangUp && done > *hangUp)) break;
      line_.lineFreeUs = done;
      line_.written.push_back(data[sent]);
      line_.board().Receive(data[sent], done);
    }
    clock.AdvanceTo(sent < count ? std::max(line_.lineFreeUs, deadline) : line_.lineFreeUs);
    if (line_.onWrite) line_.onWrite(data, count);
    return sent;
  }

  bool SetDtr(bool asserted) override {
    if (!line_.modemLines) return false;
    line_.dtr.push_back({line_.clock().nowUs(), asserted});
    if (!asserted) line_.board().Reset();
    return true;
  }

  void Purge(bool /*transmit*/, bool receive) override {
    ++line_.purges;
    if (!receive) return;
    auto& output = line_.board().output();
    while (!output.empty() && output.front().atUs <= line_.clock().nowUs())
      output.pop_front();
  }

 private:
  FakeLine& line_;
  std::int64_t byteTimeUs_ = 0;
};

}  // namespace

std::unique_ptr<SerialPort> FakeLine::Open(const std::string& device) {
  ++opens;
  if (refuseOpen || device != device_ || isOpen) return nullptr;
  return std::make_unique<FakePort>(*this);
}

}  // namespace otp::test
