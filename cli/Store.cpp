// store: what the production store is and who works on it; a site's settings.

#include <charconv>

#include "cli/Commands.h"
#include "cli/Context.h"
#include "core/Texts.h"
#include "ops/Production.h"

namespace otp::cli {

namespace {

int Show(Context& context) {
  auto store = context.OpenStore(ProductionStore::Access::kRead);
  if (!store) return kExitFile;
  StoreError error;
  const auto grace = store->Setting(kGraceSetting, error);
  const auto block = store->Setting(kBlockSetting, error);
  const auto leases = store->Leases(error);
  if (!leases) return context.Fail(kExitFile, context.T("the production store: %1", {error.text}));
  const long long graceSeconds = grace.value_or(kDefaultGrace.count());
  const long long blockMinutes = block.value_or(kDefaultBlockTime.count()) / 60;
  context.console.Emit(Json("store")
                           .Add("location", store->Location())
                           .Add("identity", store->Identity())
                           .Add("schema", store->version())
                           .Add("graceSeconds", graceSeconds)
                           .Add("blockMinutes", blockMinutes));
  auto row = [&context](const std::string& name, const std::string& value) {
    context.console.Say(PadTo(name, 18) + value);
  };
  row(context.T("store"), store->Location());
  row(context.T("identity"), store->Identity().empty() ? "-" : store->Identity());
  row(context.T("schema"), std::to_string(store->version()));
  row(context.T("grace"), context.T("%1 s: a station not heard of for longer is taken as gone",
                                    {std::to_string(graceSeconds)}));
  row(context.T("block"), context.T("%1 min of work: the numbers a station holds ahead",
                                    {std::to_string(blockMinutes)}));
  for (const Lease& lease : *leases) {
    context.console.Emit(Json("lease")
                             .Add("owner", lease.holder.owner)
                             .Add("station", lease.holder.station)
                             .Add("host", lease.holder.host)
                             .Add("pid", lease.holder.pid)
                             .Add("started", lease.started)
                             .Add("silent", lease.silent));
    row(context.T("station"),
        context.T("%1 on %2 (process %3), since %4, heard of %5 s ago",
                  {Printable(lease.holder.station), Printable(lease.holder.host),
                   std::to_string(lease.holder.pid), lease.started, std::to_string(lease.silent)}));
  }
  return kExitOk;
}

int Set(Context& context) {
  const std::string& name = context.options.arguments[1];
  const std::string& text = context.options.arguments[2];
  long long value = 0;
  const auto [end, fault] = std::from_chars(text.data(), text.data() + text.size(), value);
  const bool number = fault == std::errc() && end == text.data() + text.size();
  const char* setting = nullptr;
  long long stored = value;
  if (name == "grace" && number && value >= 10 && value <= 24 * 3600) {
    setting = kGraceSetting;
  } else if (name == "block" && number && value >= 1 && value <= 24 * 60) {
    setting = kBlockSetting;
    stored = value * 60;
  }
  if (!setting) {
    return context.Fail(kExitUsage,
                        context.T("store set grace SECONDS (10 to 86400) or store set block "
                                  "MINUTES (1 to 1440), not %1 %2",
                                  {name, text}));
  }
  auto store = context.OpenStore(ProductionStore::Access::kWrite);
  if (!store) return kExitFile;
  StoreError error;
  if (!store->SetSetting(setting, stored, error)) {
    return context.Fail(kExitFile, context.T("the production store: %1", {error.text}));
  }
  context.console.Emit(Json("setting").Add("name", name).Add("value", value));
  context.console.Say(
      context.T("%1 is now %2 for every station of %3", {name, text, store->Location()}));
  return kExitOk;
}

}  // namespace

int RunStore(Context& context) {
  return context.options.arguments[0] == "set" ? Set(context) : Show(context);
}

}  // namespace otp::cli
