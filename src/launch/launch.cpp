#include "launch/launch.h"

#include "core/runstate.h"
#include "core/text.h"
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
    const core::RunState& run = core::Run();
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
    const core::RunState& run = core::Run();
    const std::string file = platform::NativeSeparators(document);
    ui::ShowStatus("Opening the document " + file + " ... ");
    const int result = platform::OpenWithDesktop(file, run.WorkFolder);
    ui::EmitLaunchEvent("open", file, std::nullopt, run.WorkFolder, kShowNormal, result);
    return result;
}

core::Outcome RunCommand(const std::string& text) {
    if (RunProgram(core::ExpandEnvironmentText(text)) <= 32)
        return core::Outcome::Failure("Unable to run the command: " + text);
    return core::Outcome::Success();
}

core::Outcome OpenCommand(const std::string& text) {
    if (OpenDocument(core::ExpandEnvironmentText(text)) <= 32)
        return core::Outcome::Failure("Unable to open the document: " + text);
    return core::Outcome::Success();
}

} // namespace launch
