#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempDir.h"

extern char** environ;

namespace otp::test {

/// A program run by a test, its standard input from a file (or /dev/null), its output
/// and errors caught in files.
class Process {
 public:
  /// `cwd`: the folder it runs in (default: the test's own).
  Process(const std::string& program, std::vector<std::string> args, const std::string& input = "",
          const std::string& cwd = "")
      : output_(dir_ / "out"), errors_(dir_ / "err") {
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (std::string& arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string in = input.empty() ? "/dev/null" : dir_.Write("in", input).string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output_.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errors_.c_str(), O_WRONLY | O_CREAT, 0600);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Process() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  void Signal(int signal) const {
    if (pid_ > 0) ::kill(pid_, signal);
  }
  /// Waits for the end; the exit status, or 128 + the signal that ended it, or -1.
  int Wait() {
    if (status_ >= 0 || pid_ <= 0) return status_;
    int status = 0;
    rusage usage{};
    ::wait4(pid_, &status, 0, &usage);
    cpuSeconds_ = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    maxRssKiB_ = usage.ru_maxrss;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status)
                                : (WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1);
    return status_;
  }
  /// Waits for the end at most `limit`; a program still running then is killed, and -2
  /// returned: it hung.
  int WaitAtMost(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (status_ < 0 && pid_ > 0) {
      int status = 0;
      rusage usage{};
      const pid_t done = ::wait4(pid_, &status, WNOHANG, &usage);
      if (done == pid_) {
        maxRssKiB_ = usage.ru_maxrss;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status)
                                    : (WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1);
        break;
      }
      if (std::chrono::steady_clock::now() > end) {
        ::kill(pid_, SIGKILL);
        Wait();
        return -2;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status_;
  }
  /// The CPU time (user and system) it used, once it ended.
  double cpuSeconds() const { return cpuSeconds_; }
  /// The most memory it held at once (resident, KiB), once it ended.
  long maxRssKiB() const { return maxRssKiB_; }
  std::string Output() const { return TempDir::ReadFile(output_); }
  std::string Errors() const { return TempDir::ReadFile(errors_); }

 private:
  TempDir dir_;
  std::filesystem::path output_;
  std::filesystem::path errors_;
  pid_t pid_ = -1;
  int status_ = -1;
  double cpuSeconds_ = 0;
  long maxRssKiB_ = 0;
};

/// What a program run to its end gave: its exit status, output and errors.
struct Ran {
  int status;
  std::string out;
  std::string err;
};

inline Ran RunToEnd(const std::string& program, const std::vector<std::string>& args,
                    const std::string& input = "") {
  Process process(program, args, input);
  const int status = process.Wait();
  return {status, process.Output(), process.Errors()};
}

/// Waits up to `limit` for the running `process` to print `"key":"value"` in its JSON
/// output, and gives the value (empty when it never came).
inline std::string WaitForJsonText(const Process& process, const std::string& key,
                                   std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const std::string mark = "\"" + key + "\":\"";
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const std::string out = process.Output();
    const auto at = out.find(mark);
    const auto close = at == std::string::npos ? at : out.find('"', at + mark.size());
    if (close != std::string::npos) return out.substr(at + mark.size(), close - at - mark.size());
    if (std::chrono::steady_clock::now() >= end) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

/// Waits up to `limit` for `path` to exist.
inline bool WaitForFile(const std::filesystem::path& path,
                        std::chrono::milliseconds limit = std::chrono::seconds(2)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!std::filesystem::exists(path)) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace otp::test
