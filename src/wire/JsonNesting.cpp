#include "wire/JsonNesting.h"

namespace {
// Calls `structural` with each character outside strings, and its place, until it says stop.
template <class Visit>
void visitOutsideStrings(std::string_view text, Visit structural)
{
    bool inString = false;
    bool escaped = false;
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (!structural(c, at)) {
            return;
        }
    }
}
}  // namespace

std::size_t jsonTooDeepAt(std::string_view text, std::size_t limit)
{
    std::size_t depth = 0;
    std::size_t found = std::string_view::npos;
    visitOutsideStrings(text, [&](char c, std::size_t at) {
        if (c == '{' || c == '[') {
            if (++depth > limit) {
                found = at;
                return false;
            }
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
        return true;
    });
    return found;
}

bool holdsTooManyValues(std::string_view text, std::size_t limit)
{
    std::size_t values = 0;
    visitOutsideStrings(text, [&](char c, std::size_t) {
        if (c == ',' || c == '{' || c == '[')
            ++values;
        return values <= limit;
    });
    return values > limit;
}
