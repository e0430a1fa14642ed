// otpwriter-cli: the writer's engine for scripts, test rigs and production benches.

#include <QCoreApplication>
#include <QGuiApplication>
#include <clocale>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "cli/Commands.h"
#include "cli/Context.h"
#include "core/Texts.h"
#include "core/Utf8Path.h"
#include "res/Version.h"

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

namespace {

using namespace otp;
using namespace otp::cli;

std::string VersionText() {
  return std::to_string(OTP_VERSION_MAJOR) + "." + std::to_string(OTP_VERSION_MINOR) + "." +
         std::to_string(OTP_VERSION_PATCH) + "." + std::to_string(OTP_VERSION_TWEAK);
}

/// Where the files lie: the program's own places, unless the options name others.
WriterSetup SetupFor(const Options& options) {
  FileLocations locations =
      LocateFiles(PlaceFactsOf(QCoreApplication::applicationDirPath().toStdString()));
  if (options.monitorDir) {
    locations.monitorDirs = {ModuleDirFrom(*options.monitorDir)};
  }
  if (options.settings) locations.settingsFile = PathFromUtf8(*options.settings);
  return WriterSetup(locations);
}

int Version(const Context& context) {
  std::printf("%s %s\n", kProgram, VersionText().c_str());
  if (!context.options.verbose) return kExitOk;
  const WriterSetup& setup = context.setup;
  auto row = [](const std::string& name, const std::string& value) {
    // The names are padded to one column, with a blank after the longest.
    std::printf("%-18s%s\n", name.c_str(), value.c_str());
  };
  row(context.T("settings file"), Utf8FromPath(setup.settingsFile()));
  for (const std::string& folder : setup.monitorDirs()) {
    row(context.T("monitor folder"),
        folder +
            (std::filesystem::is_directory(PathFromUtf8(folder)) ? "" : context.T(" (absent)")));
  }
  row(context.T("production store"), ProductionStore::Printable(context.StoreLocation()));
  return kExitOk;
}

// The result event that ends every JSON stream.
int Finish(Console& console, int status, bool severalPorts, double seconds) {
  Json result("result");
  if (severalPorts) result.AddNull("port");  // the summary after a result a port
  console.Emit(result.Add("ok", status == kExitOk).Add("exit", status).Add("seconds", seconds));
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const auto began = std::chrono::steady_clock::now();
  const std::vector<std::string> args(argv + 1, argv + argc);
  const Language language = LanguageOf(args);
  std::string error;
  const auto options = ParseOptions(args, language, error);
  // The report paints a page (and so does the factory view's): it needs Qt's fonts, with
  // no display.
  std::unique_ptr<QCoreApplication> application;
  if (options && (options->command == "report" || options->command == "serve")) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Qt's notes on the platform it runs on (a missing runtime folder) are not the
    // report's: they show with --verbose only.
    if (!options->verbose) {
      qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
          std::fprintf(stderr, "%s\n", qPrintable(text));
      });
    }
    application = std::make_unique<QGuiApplication>(argc, argv);
  } else {
    application = std::make_unique<QCoreApplication>(argc, argv);
  }
  // Qt takes the user's locale for the C library; numbers written for machines keep a
  // point whatever it is.
  std::setlocale(LC_NUMERIC, "C");
  if (!options) {
    std::fprintf(stderr, "%s: %s\n%s\n", kProgram, error.c_str(),
                 Tr(language, "Try '%1 --help'.", {kProgram}).c_str());
    return kExitUsage;
  }
  if (options->help) {
    std::fputs(HelpText(language, options->command).c_str(), stdout);
    return kExitOk;
  }
  const Console::Mode mode = options->json ? Console::Mode::kJson
                             : isatty(1)   ? Console::Mode::kTerminal
                                           : Console::Mode::kPlain;
  Console console(mode, options->quiet, options->verbose);
  Context context(*options, console, language, SetupFor(*options));
  if (options->version) return Version(context);
  // A settings file that was named must be there: its ports are what the user meant.
  if (options->settings && !std::filesystem::is_regular_file(PathFromUtf8(*options->settings))) {
    return context.Fail(kExitFile, context.T("--settings %1: no such file", {*options->settings}));
  }
  const CommandSpec& command = *FindCommand(options->command);
  int status = kExitOk;
  if (command.flags & kTargets) status = context.ResolveTargets();
  if (status == kExitOk) status = command.run(context);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  return Finish(console, status, context.targets().size() > 1, seconds);
}
