#pragma once

#include <cstddef>
#include <string_view>

// The page's files, compiled into the program (the build generates their table from www/).
struct WebFile {
    std::string_view name;  // "index.html", "app.js", ...
    std::string_view body;
};

extern const WebFile webFiles[];
extern const std::size_t webFileCount;

// The file a request target names ("/" is index.html), or nullptr.
const WebFile* findWebFile(std::string_view target);
std::string_view contentTypeOf(std::string_view name);
