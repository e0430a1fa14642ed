#include "link/SerialPort.h"

#include <thread>

namespace otp {

void SerialPortFactory::RunOnThreads(const std::vector<std::function<void()>>& jobs,
                                     const std::function<void()>& meanwhile) {
  std::vector<std::thread> threads;
  threads.reserve(jobs.size());
  for (const auto& job : jobs)
    threads.emplace_back(job);
  if (meanwhile) meanwhile();
  for (std::thread& thread : threads)
    thread.join();
}

}  // namespace otp
