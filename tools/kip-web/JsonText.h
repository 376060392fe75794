#pragma once

#include <cstddef>
#include <string_view>

// True when `text` is valid UTF-8 holding exactly one JSON value, with arrays and objects
// nested at most `maxDepth` deep. Iterative, so no input can exhaust the stack.
bool isJsonText(std::string_view text, std::size_t maxDepth);
