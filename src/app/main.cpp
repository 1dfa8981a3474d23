// norvakel [transfer-file]
#include "app/run.h"
#include "core/outcome.h"
#include "engine/engine.h"
#include "ui/windows.h"

#include <exception>
#include <new>
#include <string>

namespace {

// The command line as one text, the way the program has always received it.
std::string ArgumentText(int argc, char** argv) {
    std::string text;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) text += ' ';
        text += argv[i];
    }
    return text;
}

} // namespace

int main(int argc, char** argv) {
    const std::string argument = ArgumentText(argc, argv);
    ui::InitApplication(argc, argv);
    try {
        app::Main(argument);
        return ui::RunEventLoop();
    } catch (const core::RunTimeFailure& e) {
        app::RunTimeError(e.number, e.description);
    } catch (const engine::EngineError& e) {
        app::RunTimeError(e.Number(), e.Description());
    } catch (const std::bad_alloc&) {
        app::RunTimeError(7, "Out of memory");
    } catch (const std::exception& e) {
        app::RunTimeError(5, e.what());
    }
}
