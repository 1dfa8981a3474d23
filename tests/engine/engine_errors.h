// The engine error an action raises, for tests that expect one.
#pragma once

#include "engine/engine.h"

#include <functional>
#include <string>

namespace engine::testing {

// The error number the action raised, or 0 when it raised none.
inline int ErrorNumber(const std::function<void()>& action) {
    try {
        action();
    } catch (const EngineError& e) {
        return e.Number();
    }
    return 0;
}

// The description of the error the action raised, or "" when it raised none.
inline std::string ErrorText(const std::function<void()>& action) {
    try {
        action();
    } catch (const EngineError& e) {
        return e.Description();
    }
    return {};
}

} // namespace engine::testing
