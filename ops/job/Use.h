#pragma once

#include "ops/job/Job.h"
#include "ops/production/RunTypes.h"

namespace otp {

/// `setup` burns `job`: its model and clock on every port, its image, serial rule and
/// counter, its name and checksum, and its reset when it is the fixture's (DTR). Whether a
/// part may be resumed is the face's to decide.
void UseJob(const Job& job, RunSetup& setup);

}  // namespace otp
