#include "launch/launch.h"

#include "app/environment.h"
#include "app/run.h"
#include "app/runstate.h"
#include "platform/platform.h"
#include "ui/events.h"
#include "ui/windows.h"

#include <optional>

namespace launch {

namespace {

constexpr int kShowNormal = 1;

bool EndsWithUpperExe(const std::string& command) {
    // Case-sensitive on purpose: a name ending in ".exe" is started without parameters.
    return command.size() >= 4 && command.compare(command.size() - 4, 4, ".EXE") == 0;
}

} // namespace

int RunProgram(const std::string& command) {
    const app::RunState& run = app::Run();
    const std::string file = platform::NativeSeparators(command);
    ui::ShowStatus("Running " + file + " ... ");
    std::optional<std::string> parameters;
    if (EndsWithUpperExe(command)) parameters = file;
    const int result = platform::StartProgram(file, parameters, run.WorkFolder, run.RunWindowMode);
    ui::EmitLaunchEvent("run", file, parameters, run.WorkFolder, run.RunWindowMode, result);
    ui::ShowStatus("Closing .... ");
    return result;
}

int OpenDocument(const std::string& document) {
    const app::RunState& run = app::Run();
    const std::string file = platform::NativeSeparators(document);
    ui::ShowStatus("Opening the document " + file + " ... ");
    const int result = platform::OpenWithDesktop(file, run.WorkFolder);
    ui::EmitLaunchEvent("open", file, std::nullopt, run.WorkFolder, kShowNormal, result);
    return result;
}

void RunCommand(const std::string& text) {
    if (RunProgram(app::ExpandEnvironmentText(text)) <= 32)
        app::NotifyUser("Unable to run the command: " + text, true);
    app::FinishRun();
}

void OpenCommand(const std::string& text) {
    if (OpenDocument(app::ExpandEnvironmentText(text)) <= 32)
        app::NotifyUser("Unable to open the document: " + text, true);
    app::FinishRun();
}

} // namespace launch
