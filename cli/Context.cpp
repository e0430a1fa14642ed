#include "cli/Context.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "core/Texts.h"
#include "core/Utf8Path.h"
#include "ops/Messages.h"
#include "ops/Station.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace otp::cli {

Context::Context(const Options& options_, Console& console_, Language language_, WriterSetup setup_)
    : options(options_), console(console_), language(language_), setup(std::move(setup_)) {}

std::string Context::T(std::string_view english,
                       std::initializer_list<std::string_view> values) const {
  return Tr(language, english, values);
}

int Context::Fail(int status, const std::string& text) const {
  console.Error(std::string(kProgram) + ": " + text);
  return status;
}

int Context::ResolveTargets() {
  const RecentChoice recent = RecentChoiceOf(setup.Load());
  const ChipRow* model = recent.model;
  if (options.model) {
    model = ModelNamed(*options.model);
    if (!model) {
      return Fail(kExitUsage, T("unknown model %1 (KT47C630A or KT47C150)", {*options.model}));
    }
  }
  int rate = recent.rate;
  if (options.clock) {
    const auto named = RateNamed(*model, *options.clock);
    if (!named) {
      return Fail(kExitUsage, T("unknown clock %1 (2MHz, 4MHz or 8MHz)", {*options.clock}));
    }
    rate = *named;
  }
  std::vector<std::string> names = options.ports;
  if (names.empty()) names.push_back(recent.port);
  std::string error;
  targets_ = ResolvePorts(names, setup, model, rate, names.size(), language, error);
  if (targets_.empty()) return Fail(kExitUsage, error);
  return kExitOk;
}

int Context::baud() const {
  const int index = rate();
  return index >= 0 && index < 3 ? model().baud[static_cast<std::size_t>(index)] : 0;
}

std::string Context::ImageMessage(const std::string& file, const ImageResult& result) const {
  return ImageProblemText(file, result, model(), language);
}

std::optional<LoadedImage> Context::LoadImage(const std::string& file, bool needData) const {
  LoadedImage loaded;
  loaded.file = file;
  const auto start = static_cast<std::uint32_t>(model().startAddr);
  const auto end = static_cast<std::uint32_t>(model().endAddr);
  loaded.result = otp::LoadImage(file, options.base.value_or(start), start, end, loaded.image,
                                 &loaded.coverage);
  if (loaded.result.error != ImageError::kNone || (needData && loaded.result.dataBytes == 0)) {
    console.Emit(Json("report")
                     .AddNull("id")
                     .Add("kind", "error")
                     .Add("text", ImageMessage(file, loaded.result)));
    Fail(kExitFile, ImageMessage(file, loaded.result));
    return std::nullopt;
  }
  loaded.crc32 = Crc32(&loaded.image[start], end - start + 1);
  return loaded;
}

std::string Context::StoreLocation() const {
  return ProductionStore::Absolute(options.db.value_or(setup.DefaultStore()));
}

std::vector<std::filesystem::path> Context::JournalFolders(const RecordStore& store) const {
  std::vector<std::filesystem::path> folders;
  if (!store.Identity().empty()) {
    folders.push_back(JournalFolderOf(store.Location(), store.Identity(), setup.dataDir()));
  }
  // Where an earlier release kept them, until a station's start moves them.
  const auto legacy = otp::JournalFolder(StoreLocation(), setup.dataDir());
  if (folders.empty() || legacy != folders.front()) folders.push_back(legacy);
  return folders;
}

std::unique_ptr<ProductionStore> Context::OpenStore(ProductionStore::Access access) const {
  const std::string location = StoreLocation();
  ProductionStore::Options storeOptions;
  storeOptions.access = access;
  if (access == ProductionStore::Access::kWrite && !options.db) {
    // The user's own store: its folder is made on first use.
    std::error_code ec;
    std::filesystem::create_directories(PathFromUtf8(setup.dataDir()), ec);
  }
  StoreError error;
  auto store = ProductionStore::Open(location, error, storeOptions);
  if (!store) Fail(kExitFile, T("the production store: %1", {error.text}));
  return store;
}

int Context::ExitStatusOf(UnitVerdict verdict) {
  switch (verdict) {
    case UnitVerdict::kPass:
      return kExitOk;
    case UnitVerdict::kNotGood:
      return kExitNotGood;
    case UnitVerdict::kLinkFailed:
      return kExitLink;
    case UnitVerdict::kFileFailed:
    case UnitVerdict::kStoreFailed:
      return kExitFile;
    case UnitVerdict::kPortFailed:
      return kExitPort;
    case UnitVerdict::kPlanRefused:
      return kExitPlan;
    case UnitVerdict::kInterrupted:
      return kExitInterrupted;
  }
  return kExitLink;
}

std::optional<SerialRule> Context::SerialRuleOf(const std::string& text, std::string& error) const {
  SerialRuleError why{};
  auto rule = ParseSerialRule(text, why);
  error = SerialRuleErrorText(text, why, language);
  return rule;
}

std::string Context::PlacementMessage(const SerialRule& rule, const FlashImage& image) const {
  return PlacementText(
      CheckSerialPlacement(rule, image, static_cast<std::uint32_t>(model().startAddr),
                           static_cast<std::uint32_t>(model().endAddr)),
      language);
}

void Context::Prompt(const std::string& text) const {
  if (console.json()) {
    console.Error(text);
  } else {
    std::printf("%s", text.c_str());
    std::fflush(stdout);
  }
}

bool Context::ReadAnswer() {
  std::string line;
  char c = 0;
  while (true) {
    const auto n = ::read(0, &c, 1);
    if (n <= 0) return false;  // end of input, or Ctrl-C
    if (c == '\n') break;
    line += c;
  }
  return line != "q" && line != "Q";
}

}  // namespace otp::cli
