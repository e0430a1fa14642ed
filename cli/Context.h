#pragma once

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/Console.h"
#include "cli/Options.h"
#include "core/Catalogue.h"
#include "ops/journal/Journal.h"
#include "ops/Setup.h"
#include "ops/Unit.h"
#include "store/ProductionStore.h"

namespace otp::cli {

inline constexpr const char* kProgram = "otpwriter-cli";

/// An image read from a file, with what `info` tells of it.
struct LoadedImage {
  std::string file;
  FlashImage image{};
  ImageResult result;
  ImageCoverage coverage{};
  std::uint32_t crc32 = 0;  // over the OTP area
};

/// What every command works with: the options, the console, the language, where the
/// files lie and the ports it was asked for, and the messages they share.
class Context {
 public:
  Context(const Options& options, Console& console, Language language, WriterSetup setup);

  const Options& options;
  Console& console;
  const Language language;
  const WriterSetup setup;

  /// `english` in the command line's language, with %1... filled.
  std::string T(std::string_view english,
                std::initializer_list<std::string_view> values = {}) const;
  /// "otpwriter-cli: TEXT" on standard error; returns `status`.
  int Fail(int status, const std::string& text) const;

  /// The model, speed and ports asked for (or the settings file's), each port with its
  /// device. A usage error (the status) when one is unknown or a device is named twice.
  int ResolveTargets();
  const std::vector<PortTarget>& targets() const { return targets_; }
  /// Every port works at `model`'s speed entry `rate` (a job's).
  void UseModel(const ChipRow& model, int rate) {
    for (PortTarget& target : targets_) {
      target.model = &model;
      target.rate = rate;
    }
  }
  const ChipRow& model() const { return *targets_.front().model; }
  int rate() const { return targets_.front().rate; }
  int baud() const;

  /// Reads `file` for the model's OTP area as Program+Verify would (a .bin file from
  /// --base); with `needData` a file without data is refused. Nothing, after a message,
  /// when it cannot be used.
  std::optional<LoadedImage> LoadImage(const std::string& file, bool needData) const;
  /// The message for a file that could not be used: "FILE: FORMAT: why".
  std::string ImageMessage(const std::string& file, const ImageResult& result) const;

  /// The production store: --db, else the user's own. Opened for writing (made, or
  /// upgraded), or only read. Null after a message.
  std::unique_ptr<ProductionStore> OpenStore(ProductionStore::Access access) const;
  std::string StoreLocation() const;
  /// The folders that may hold journals of `store`: its identity's, and where an earlier
  /// release kept them.
  std::vector<std::filesystem::path> JournalFolders(const RecordStore& store) const;

  /// The exit status of a unit's verdict: the command line's own table.
  static int ExitStatusOf(UnitVerdict verdict);
  /// The serial rule of --serial; a usage error's message in `error` when it is none.
  std::optional<SerialRule> SerialRuleOf(const std::string& text, std::string& error) const;
  /// Why a serial number cannot go into `image` (empty when it can).
  std::string PlacementMessage(const SerialRule& rule, const FlashImage& image) const;

  /// A line for the person: prompts go to standard output, or standard error with --json.
  void Prompt(const std::string& text) const;
  /// A line typed by the operator: false at "q", at the end of input and at Ctrl-C.
  static bool ReadAnswer();

 private:
  std::vector<PortTarget> targets_;
};

}  // namespace otp::cli
