// SET and %NAME% expansion. The input is lines: every line but the last is
// the text of a SET command, the last one a text to expand.
#include "app/environment.h"
#include "app/transfer.h"
#include "fuzz_support.h"
#include "platform/platform.h"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    platform::ForgetDefinedVariables();
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string_view last = input;
    for (size_t end; (end = input.find('\n')) != std::string_view::npos;) {
        const std::string setText(input.substr(0, end));
        input.remove_prefix(end + 1);
        last = input;

        std::string text = setText;
        std::string rest = setText;
        const std::string name = app::SplitToken(rest, "=");
        FUZZ_CHECK(app::TrimView(name).size() == name.size() || rest.empty());
        const int result = app::DefineEnvironment(text);
        FUZZ_CHECK(text == rest);
        if (platform::IsLoaderVariable(name)) FUZZ_CHECK(result == 0);
        if (result != 0) FUZZ_CHECK(platform::GetEnv(name) == rest);
    }
    const std::string expanded = app::ExpandEnvironmentText(std::string(last));
    // A text without references comes back as it was.
    if (last.find('%') == std::string_view::npos) FUZZ_CHECK(expanded == last);
    FUZZ_CHECK(expanded.size() <= (size_t{1} << 20) || expanded == last);
    const std::string native = platform::NativeSeparators(expanded);
    FUZZ_CHECK(native.size() == expanded.size());
    return 0;
}
