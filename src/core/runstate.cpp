#include "core/runstate.h"

namespace core {

RunState& Run() {
    static RunState state;
    return state;
}

std::string ScratchDbPath() {
    return Run().WorkFolder + Run().ScratchDbName;
}

} // namespace core
