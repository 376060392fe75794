#pragma once

#include <cstddef>
#include <string_view>

// Objects and arrays nested deeper than this are refused before they are read, by kipd,
// kipctl and kip-web alike, so that a reader that recurses once per level stays far from the
// end of its stack.
constexpr std::size_t jsonNestingLimit = 64;

// Where `text` first opens an object or array deeper than `limit`, or npos. Brackets inside
// strings do not count. Any text is scanned, JSON or not, so the answer bounds a reader's
// recursion before the reader starts.
std::size_t jsonTooDeepAt(std::string_view text, std::size_t limit = jsonNestingLimit);

inline bool nestsTooDeep(std::string_view text, std::size_t limit = jsonNestingLimit)
{
    return jsonTooDeepAt(text, limit) != std::string_view::npos;
}
