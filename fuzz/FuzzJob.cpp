// libFuzzer target: the job reader and the serial number's placement on arbitrary input.
//
// Besides the sanitizers' checks: a job that the reader takes places its numbers inside
// the model's OTP area on bytes its image leaves blank, writes its first number there and
// nowhere else, and reads back the same after being written again; and the serial writer,
// handed any rule at all, never writes outside the image.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "ops/job/Job.h"
#include "ops/Unit.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// Any rule and number, from the input's first bytes: the writer keeps to the image.
void StampAnything(const std::uint8_t* data, std::size_t size) {
  if (size < 14) return;
  otp::SerialRule rule;
  std::memcpy(&rule.address, data, 4);
  rule.format = static_cast<otp::SerialRule::Format>(data[4] % 6);
  rule.digits = 1 + data[5] % 19;
  std::uint64_t number = 0;
  std::memcpy(&number, data + 6, 8);
  otp::FlashImage image;
  image.fill(0xFF);
  const bool stamped = otp::StampSerial(image, rule, number);
  if (std::uint64_t{rule.address} + rule.Width() > image.size()) Check(!stamped);
  // Only the rule's bytes changed.
  for (std::size_t a = 0; a < image.size(); ++a) {
    if (a < rule.address || a >= std::uint64_t{rule.address} + rule.Width()) {
      Check(image[a] == 0xFF);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  StampAnything(data, size);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  otp::Job job;
  if (otp::ParseJob(text, job).kind != otp::JobProblem::Kind::kNone) return 0;
  Check(job.model != nullptr);
  const auto start = static_cast<std::uint32_t>(job.model->startAddr);
  const auto end = static_cast<std::uint32_t>(job.model->endAddr);
  if (job.rule) {
    Check(job.rule->address >= start && job.rule->address + job.rule->Width() - 1 <= end);
    otp::FlashImage stamped = job.image;
    Check(otp::StampSerial(stamped, *job.rule, job.serialStart));
    for (std::uint32_t a = 0; a < stamped.size(); ++a) {
      const bool numbers = a >= job.rule->address && a < job.rule->address + job.rule->Width();
      if (numbers) {
        Check(job.image[a] == 0xFF);
      } else {
        Check(stamped[a] == job.image[a]);
      }
    }
  }
  // Written again as this program writes jobs, it reads back the same.
  otp::Job again;
  const std::string written = otp::JobText(job);
  Check(otp::ParseJob(written, again).kind == otp::JobProblem::Kind::kNone);
  Check(again.name == job.name && again.model == job.model && again.rate == job.rate);
  Check(again.image == job.image && again.crc32 == job.crc32);
  Check(again.rule.has_value() == job.rule.has_value());
  if (job.rule) Check(again.rule->Text() == job.rule->Text());
  Check(again.serialStart == job.serialStart && again.serialStep == job.serialStep);
  Check(again.note == job.note && again.counter == job.counter);
  return 0;
}
