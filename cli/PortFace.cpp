#include "cli/PortFace.h"

#include <cstdio>

#include "link/PortAccess.h"

namespace otp::cli {

EngineOptions EngineOptionsOf(const Context& context) {
  EngineOptions options;
  options.language = context.language;
  options.retries = context.options.retries;
  return options;
}

Json StartEvent(const Context& context, const CliView& view, const PortTarget& target) {
  Json event = view.Event("start");
  event.Add("command", context.options.command).Add("model", target.model->model);
  if (view.slot() < 0) event.Add("port", target.name);  // else the view named it
  return event.Add("device", target.device).Add("baud", context.baud());
}

void ExplainDownload(const Context& context, const CliView& view, const PortTarget& target,
                     const UnitResult& result) {
  if (result.lastPhase != UnitPhase::kDownload || result.outcome == Outcome::kOk) return;
  if (result.outcome == Outcome::kNoResetLine) {
    view.Error(std::string(kProgram) + ": " +
               context.T("%1 has no modem lines: the board cannot be reset through DTR (use "
                         "--reset prompt or --reset none)",
                         {target.device}));
    return;
  }
  if (result.findings.lastError != msg::kOpenComPort) return;
  const std::string hint = PortAccessHint(target.device);
  const std::string& reason = result.portError;
  view.Error(std::string(kProgram) + ": " +
             (hint.empty() ? context.T("cannot open %1: %2", {target.device, reason}) : hint));
}

void ShowPlan(const Context& context, const CliView& view, const BurnPlan& plan) {
  std::string names = "[";
  for (const BlockClass c : plan.blocks)
    names += std::string(names.size() > 1 ? "," : "") + JsonString(BlockClassName(c));
  std::string conflicts = "[";
  for (const Conflict& conflict : plan.conflicts) {
    conflicts +=
        std::string(conflicts.size() > 1 ? "," : "") + Json()
                                                           .Add("address", conflict.address)
                                                           .Add("device", unsigned{conflict.device})
                                                           .Add("file", unsigned{conflict.file})
                                                           .Text();
  }
  Json event = view.Event("plan");
  for (int c = 0; c < kBlockClasses; ++c)
    event.Add(BlockClassName(static_cast<BlockClass>(c)), plan.counts[c]);
  context.console.Emit(event.AddRaw("blocks", names + "]")
                           .AddRaw("conflicts", conflicts + "]")
                           .Add("conflictBytes", plan.conflictBytes));
  auto count = [&plan](BlockClass c) { return std::to_string(plan.Count(c)); };
  view.Say(context.T(
      "plan: %1 to write, %2 done, %3 completable, %4 in conflict, %5 to skip",
      {count(BlockClass::kWrite), count(BlockClass::kDone), count(BlockClass::kCompletable),
       count(BlockClass::kConflict), count(BlockClass::kSkip)}));
  view.Say("        0123456789ABCDEF");
  for (std::size_t row = 0; row * 16 < plan.blocks.size(); ++row) {
    std::string marks;
    for (std::size_t i = row * 16; i < std::min(plan.blocks.size(), row * 16 + 16); ++i)
      marks += BlockClassMark(plan.blocks[i]);
    char address[8];
    std::snprintf(address, sizeof(address), "%04X",
                  static_cast<unsigned>(plan.start + static_cast<std::uint32_t>(row) * 16 * 256));
    view.Say(std::string("  ") + address + "  " + marks);
  }
  view.Say(context.T("  . skip  + write  = done  ~ completable  X conflict"));
  if (plan.conflictBytes == 0) return;
  const std::string bytes = std::to_string(plan.conflictBytes);
  view.Say(plan.conflictBytes > plan.conflicts.size()
               ? context.T("%1 bytes need a 0 to become 1, the first:", {bytes})
               : context.T("%1 byte(s) need a 0 to become 1:", {bytes}));
  for (const Conflict& conflict : plan.conflicts) {
    char line[64];
    std::snprintf(line, sizeof(line), "  0x%04X: device 0x%02X, file 0x%02X",
                  static_cast<unsigned>(conflict.address), conflict.device, conflict.file);
    view.Say(line);
  }
}

}  // namespace otp::cli
