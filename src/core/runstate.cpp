#include "app/runstate.h"

namespace app {

RunState& Run() {
    static RunState state;
    return state;
}

std::string ScratchDbPath() {
    return Run().WorkFolder + Run().ScratchDbName;
}

} // namespace app
