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

// Values a text may hold before it is read into a tree: a tree node costs some 300 bytes, so a
// mebibyte of "[0,0,...]" would take 160 MiB. A request or a reply holds a few dozen.
constexpr std::size_t jsonValueLimit = 4096;

// Whether `text` holds more values (counted by their separators and brackets, outside strings)
// than `limit`.
bool holdsTooManyValues(std::string_view text, std::size_t limit = jsonValueLimit);
