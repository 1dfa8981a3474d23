// The text form of a field value, as the text export writes it and the grid
// shows it: numbers with up to 15 significant digits and the locale's decimal
// separator, dates in the locale's short date form (with the time unless it is
// midnight), booleans as True/False.
#pragma once

#include "engine/engine.h"

#include <string>

namespace store {

// Null gives `nullText` ("Null" in the text export, "" in the grid).
std::string ValueText(const engine::Value& value, const std::string& nullText);

} // namespace store
