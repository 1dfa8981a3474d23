#include "app/environment.h"

#include "core/runstate.h"
#include "core/text.h"
#include "platform/platform.h"

namespace app {

namespace {

std::string NonEmptyEnv(const char* name) {
    return platform::GetEnv(name).value_or(std::string());
}

// TEMP, TMP, TMPDIR, the private per-user folder, the current directory.
std::string ChooseWorkFolder() {
    for (const char* name : {"TEMP", "TMP", "TMPDIR"}) {
        std::string folder = NonEmptyEnv(name);
        if (!folder.empty()) return folder;
    }
    if (auto folder = platform::PrivateTempFolder()) return *folder;
    return platform::CurrentDirectory();
}

} // namespace

void InitRunDefaults() {
    core::RunState& run = core::Run();
    std::string folder = ChooseWorkFolder();
    if (folder.empty() || folder.back() != platform::Separator) folder += platform::Separator;
    run.ScratchDbName = "UNTITLED.MDB";
    run.WorkFolder = folder; // folder case is kept: the file system is case-sensitive
    run.ScratchTableName = "UNTITLED";
    run.FieldCount = 0;
    run.ExportTarget = core::ExportTargetRecord{};
    run.ExportTarget.Location = run.WorkFolder;
    run.ReportSpec = core::ReportSpecRecord{};
    run.ReportSpec.Location = run.WorkFolder;
}

int DefineEnvironment(std::string& text) {
    core::RunState& run = core::Run();
    const std::string name = core::SplitToken(text, "=");
    const std::string& value = text;
    const std::string upperName = platform::UpperCase(name);
    // Both settings only ever move one way during a run.
    if (upperName == "PREVIEW" && value == "0") run.RunWindowMode = 0;
    if (upperName == "OPTION_NEWDB" && platform::UpperCase(value) == "Y")
        run.ReplaceExistingDb = true;
    // A transfer file comes from the network: it may not decide which code
    // the programs started later load.
    if (platform::IsLoaderVariable(name)) return 0;
    return platform::SetEnv(name, value);
}

std::string SetRefusalText(const std::string& setText) {
    std::string rest = setText;
    const std::string name = core::SplitToken(rest, "=");
    std::string text = "Unable to define the environment: " + rest;
    if (platform::IsLoaderVariable(name))
        text +=
            "\r\n" + name + " changes how programs load code and cannot be set by a transfer file.";
    return text;
}

} // namespace app
