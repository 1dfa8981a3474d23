// Text helpers of the script's rules that the loader, the script, the
// exporters and the launchers all use.
#pragma once

#include <string>
#include <string_view>

namespace core {

// Spaces removed at both ends (only blanks, as the script rules want).
std::string Trim(std::string_view text);
std::string_view TrimView(std::string_view text);

// The trimmed text before the first `separator`; `text` keeps the trimmed rest.
// Without a separator the result is `text` unchanged and `text` becomes empty.
std::string SplitToken(std::string& text, std::string_view separator);

// `text` with %NAME% references replaced by their values (the script's
// LOCATION values, RUN and OPEN commands).
std::string ExpandEnvironmentText(const std::string& text);

} // namespace core
