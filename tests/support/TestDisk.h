#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "ops/journal/File.h"

namespace otp::test {

/// The platform's journal files with faults where a test wants them: a line that the
/// disk refuses (as a full disk does), a pause between making a journal and locking it.
class TestDisk final : public JournalDisk {
 public:
  /// Whether the disk takes `text` (a whole line); false fails it with ENOSPC's words.
  std::function<bool(std::string_view text)> takes;
  /// Runs in a file's TryLock, before the lock is taken.
  std::function<void()> beforeLock;

  std::unique_ptr<JournalFile> Open(const std::filesystem::path& path, Mode mode,
                                    std::string& error) override {
    auto file = SystemJournalDisk().Open(path, mode, error);
    if (!file) return nullptr;
    return std::make_unique<File>(*this, std::move(file));
  }
  int ProcessId() override { return SystemJournalDisk().ProcessId(); }

 private:
  class File final : public JournalFile {
   public:
    File(TestDisk& disk, std::unique_ptr<JournalFile> file) : disk_(disk), file_(std::move(file)) {}
    bool TryLock() override {
      if (disk_.beforeLock) disk_.beforeLock();
      return file_->TryLock();
    }
    bool Append(std::string_view text, std::string& error) override {
      if (disk_.takes && !disk_.takes(text)) {
        error = "No space left on device";
        return false;
      }
      return file_->Append(text, error);
    }
    bool Truncate() override { return file_->Truncate(); }
    bool Regular(std::uintmax_t& size) override { return file_->Regular(size); }
    long long ReadAt(char* buffer, std::size_t count, std::uintmax_t offset) override {
      return file_->ReadAt(buffer, count, offset);
    }

   private:
    TestDisk& disk_;
    std::unique_ptr<JournalFile> file_;
  };
};

}  // namespace otp::test
