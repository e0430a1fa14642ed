// blank-check, plan, program, compare and read: Download, then the command's operations,
// on one port or on several at once (an engine a port, each on a thread of its own).

#include <filesystem>

#include "cli/Commands.h"
#include "cli/Interrupt.h"
#include "cli/PortFace.h"
#include "cli/Produce.h"
#include "core/AtomicFile.h"
#include "core/Utf8Path.h"
#include "link/QtSerialPort.h"

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

namespace otp::cli {

namespace {

// Shows each phase on the port's view as the unit enters it; Ctrl-C stops between them.
class PhaseHooks final : public UnitHooks {
 public:
  PhaseHooks(CliView& view, int baud) : view_(view), baud_(baud) {}
  void OnPhase(UnitPhase phase) override { view_.SetPhase(PhaseName(phase), baud_); }
  bool Stopped() override { return Interrupted(); }

 private:
  CliView& view_;
  int baud_;
};

// The differences of a Read+Compare, counted.
void SayDifferences(const Context& context, const CliView& view, const Engine& engine) {
  const std::size_t differences = engine.findings().differences;
  if (differences == 0) return;
  context.console.Emit(view.Event("differences").Add("count", differences));
  view.Say(differences == 1 ? context.T("1 byte differs")
                            : context.T("%1 bytes differ", {std::to_string(differences)}));
}

// A verdict line for an operation that the line or the device ended, as Program+Verify
// has one.
void SayNotGood(const Context& context, const CliView& view, const Engine& engine, unsigned id,
                Outcome outcome) {
  if (outcome != Outcome::kFailed && outcome != Outcome::kStopped) return;
  const std::string text = engine.Text(id) + " NG !!";
  context.console.Emit(view.Event("report").Add("id", id).Add("kind", "error").Add("text", text));
  view.Say(text);
}

UnitRequest RequestOf(const Context& context, const LoadedImage* image) {
  const Options& o = context.options;
  const std::string& command = o.command;
  UnitRequest request;
  request.image = image ? &image->image : nullptr;
  if (command == "blank-check") request.work = UnitRequest::Work::kBlankCheck;
  if (command == "plan") request.work = UnitRequest::Work::kPlan;
  if (command == "compare") request.work = UnitRequest::Work::kCompare;
  if (command == "read") {
    request.work = UnitRequest::Work::kRead;
    request.readPath = o.arguments.front();
    request.readFormat = o.format.value_or(FormatForFileName(request.readPath));
    request.skipBlank = o.skipBlank;
  }
  request.blankCheck = o.blankCheck;
  request.plan = !o.noPlan;
  request.resume = o.resume;
  request.compare = !o.noCompare;
  request.reading = o.reading.value_or(ReadMode::kArea);
  return request;
}

// One port's whole job: Download, then the command's operations.
int RunPort(const Context& context, CliView& view, const PortTarget& target,
            const LoadedImage* image, ResetMethod reset) {
  SystemClock clock;
  Engine engine(view, clock, EngineOptionsOf(context));
  engine.writer().spec.Assign(*target.model);
  engine.writer().m_strModuleDir = context.setup.moduleDir();
  engine.writer().monitorDirs = context.setup.monitorDirs();
  context.console.Emit(StartEvent(context, view, target));
  if (context.console.verbose()) {
    view.Say(context.T("%1 on %2 (%3), %4 at %5 bit/s",
                       {context.options.command, target.name, target.device,
                        std::string(target.model->model), std::to_string(context.baud())}));
  }
  QtSerialPortFactory ports;
  PhaseHooks hooks(view, context.baud());
  const UnitRequest request = RequestOf(context, image);
  const UnitResult result = RunUnit(engine, ports, target, reset, request, hooks);
  ExplainDownload(context, view, target, result);
  if (result.planned && (request.work == UnitRequest::Work::kPlan ||
                         result.refusal != PlanRefusal::kNone || context.console.verbose())) {
    ShowPlan(context, view, result.plan);
  }
  switch (result.refusal) {
    case PlanRefusal::kConflict:
      if (request.work == UnitRequest::Work::kProgram) {
        view.Error(std::string(kProgram) + ": " +
                   context.T("this part can never hold this image: nothing written"));
      }
      break;
    case PlanRefusal::kStarted:
      view.Error(std::string(kProgram) + ": " +
                 context.T("this part already holds part of this image: nothing written "
                           "(--resume finishes it)"));
      break;
    case PlanRefusal::kComplete:
    case PlanRefusal::kNone:
      break;
  }
  if (result.alreadyComplete) {
    view.Say(context.T("this part already holds this image: nothing written"));
  }
  if (result.lastPhase == UnitPhase::kBlankCheck) {
    SayNotGood(context, view, engine, msg::kBlankCheck, result.outcome);
  }
  if (result.lastPhase == UnitPhase::kCompare) {
    SayNotGood(context, view, engine, msg::kReadCompare, result.outcome);
    SayDifferences(context, view, engine);
  }
  if (result.verdict == UnitVerdict::kInterrupted) {
    view.Error(std::string(kProgram) + ": " +
               (result.programBlocksSent > 0
                    ? context.T("interrupted after %1 blocks were written: program --resume "
                                "finishes the part",
                                {std::to_string(result.programBlocksSent)})
                    : context.T("interrupted")));
  }
  if (result.verdict == UnitVerdict::kPass && request.work == UnitRequest::Work::kRead) {
    std::error_code ec;
    context.console.Emit(Json("file")
                             .Add("path", request.readPath)
                             .Add("format", ImageFormatName(request.readFormat))
                             .Add("bytes", static_cast<std::size_t>(std::filesystem::file_size(
                                               PathFromUtf8(request.readPath), ec))));
  }
  return Context::ExitStatusOf(result.verdict);
}

// Asks for the board's reset; false when the operator declined or pressed Ctrl-C.
bool ResetPrompt(const Context& context) {
  context.Prompt(context.T("Please reset the microcontroller on userboard.") + "\n" +
                 context.T("Then press Enter (q and Enter to stop).") + "\n");
  return Context::ReadAnswer();
}

}  // namespace

int RunOnPorts(Context& context) {
  const Options& o = context.options;
  if (o.job) return RunJobUnit(context);
  // Every file is checked before any port is opened: nothing reaches a board for a
  // command that cannot finish.
  std::optional<LoadedImage> image;
  if (o.command == "plan" || o.command == "program" || o.command == "compare") {
    image = context.LoadImage(o.arguments.front(), o.command != "compare");
    if (!image) return kExitFile;
  }
  if (o.command == "read") {
    const std::string& out = o.arguments.front();
    const std::string why = WritableFolderError(PathFromUtf8(out));
    if (!why.empty()) return context.Fail(kExitFile, context.T("cannot write %1: %2", {out, why}));
  }
  InstallInterruptHandler();
  ResetMethod reset = o.reset.value_or(
      ResetMethod{isatty(0) ? ResetMethod::Kind::kPrompt : ResetMethod::Kind::kNone, {}});
  // One prompt for every board.
  if (reset.kind == ResetMethod::Kind::kPrompt) {
    if (!ResetPrompt(context)) return context.Fail(kExitInterrupted, context.T("interrupted"));
    reset.kind = ResetMethod::Kind::kNone;
  }
  const LoadedImage* loaded = image ? &*image : nullptr;
  const auto& targets = context.targets();
  if (targets.size() == 1) {
    CliView view(context.console, o, context.language);
    return RunPort(context, view, targets.front(), loaded, reset);
  }
  // Several ports at once: an engine for each on a thread of its own, nothing shared but
  // the image. The status is that of the first port, in command-line order, that did not
  // pass.
  std::vector<std::string> labels;
  for (const PortTarget& target : targets)
    labels.push_back(target.name);
  context.console.SetSlots(labels);
  std::vector<int> statuses(targets.size(), kExitOk);
  std::vector<std::function<void()>> jobs;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    jobs.push_back([&, i] {
      CliView view(context.console, o, context.language, static_cast<int>(i), targets[i].name);
      statuses[i] = RunPort(context, view, targets[i], loaded, reset);
    });
  }
  QtSerialPortFactory threads;
  threads.RunOnThreads(jobs, {});
  context.console.EndProgress();
  int first = kExitOk;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    context.console.Emit(Json("result")
                             .Add("port", targets[i].name)
                             .Add("ok", statuses[i] == kExitOk)
                             .Add("exit", statuses[i]));
    context.console.Say(statuses[i] == kExitOk
                            ? context.T("OK")
                            : context.T("FAILED, exit status %1", {std::to_string(statuses[i])}),
                        static_cast<int>(i));
    if (first == kExitOk) first = statuses[i];
  }
  return first;
}

}  // namespace otp::cli
