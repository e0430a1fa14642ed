#include "ops/job/Use.h"

namespace otp {

void UseJob(const Job& job, RunSetup& setup) {
  for (PortTarget& port : setup.ports) {
    port.model = job.model;
    port.rate = job.rate;
  }
  setup.imageName = job.imageName;
  setup.image = job.image;
  setup.crc32 = job.crc32;
  setup.rule = job.rule;
  setup.counter = job.counter;
  setup.serialStart = job.serialStart;
  setup.serialStep = job.serialStep;
  setup.job = job.name;
  setup.jobSum = job.ShortChecksum();
  setup.reading = job.reading;
  setup.lot = job.lot;
  setup.quantity = job.quantity;
  if (job.blockMinutes) setup.blockTime = std::chrono::minutes(*job.blockMinutes);
  // A DTR reset is the fixture's; a prompt is the key that starts each round.
  if (job.reset.kind == ResetMethod::Kind::kDtr) setup.reset = job.reset;
}

}  // namespace otp
