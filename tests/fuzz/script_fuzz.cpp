// The command-script interpreter, with the windows, exporters and launchers
// replaced by recorders that check what the script hands them.
#include "app/environment.h"
#include "app/script.h"
#include "app/transfer.h"
#include "core/runstate.h"
#include "fuzz_support.h"
#include "platform/platform.h"
#include "store/formats.h"

#include <cstdio>

namespace {

struct RunEnded {};

void CheckTargets() {
    const core::RunState& run = core::Run();
    const core::ExportTargetRecord& target = run.ExportTarget;
    FUZZ_CHECK(target.DbType >= 0 && target.DbType <= store::dtText);
    FUZZ_CHECK(target.TableName.find('.') == std::string::npos);
    FUZZ_CHECK(run.ReportSpec.FormulaCount >= 0 &&
               run.ReportSpec.FormulaCount <= core::MaxFormulas);
}

// What SAVE receives once an EXPORT block has closed.
void CheckExportTarget() {
    const core::ExportTargetRecord& target = core::Run().ExportTarget;
    CheckTargets();
    FUZZ_CHECK(!target.Location.empty() && target.Location.back() == platform::Separator);
    const std::string extension = "." + store::DefaultExtension(target.DbType);
    FUZZ_CHECK(target.FileName.size() >= extension.size() &&
               target.FileName.compare(target.FileName.size() - extension.size(), extension.size(),
                                       extension) == 0);
}

// What RUN and OPEN do with their text before the system sees it.
void Launch(const std::string& text) {
    const std::string path = platform::NativeSeparators(app::ExpandEnvironmentText(text));
    FUZZ_CHECK(path.find('\\') == std::string::npos);
    throw RunEnded{};
}

void InstallRecorders() {
    app::ScriptActions& actions = app::CurrentScriptActions();
    actions.showStatus = [](const std::string&) {};
    actions.showGrid = [] {};
    actions.save = [](bool) { CheckExportTarget(); };
    actions.run = Launch;
    actions.open = Launch;
    actions.print = [] { throw RunEnded{}; };
    actions.endRun = [] { throw RunEnded{}; };
    actions.fatal = [](const std::string& text) {
        FUZZ_CHECK(text.rfind("Unable to define the environment: ", 0) == 0);
        throw RunEnded{};
    };
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool installed = (InstallRecorders(), true);
    (void)installed;
    platform::ForgetDefinedVariables();
    core::RunState& run = core::Run();
    run = core::RunState{};
    run.WorkFolder = "/nonexistent/work/";
    run.ExportTarget.Location = run.WorkFolder;
    run.ReportSpec.Location = run.WorkFolder;

    fuzz::InputFile input(data, size);
    app::TransferFile file;
    int error = 0;
    FUZZ_CHECK(file.Open(input.Path(), error));
    try {
        app::RunCommandScript(file);
    } catch (const RunEnded&) {
    }
    CheckTargets();
    return 0;
}
