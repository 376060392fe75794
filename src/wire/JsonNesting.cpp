#include "wire/JsonNesting.h"

std::size_t jsonTooDeepAt(std::string_view text, std::size_t limit)
{
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (std::size_t at = 0; at < text.size(); ++at) {
        char c = text[at];
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > limit)
                return at;
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
    }
    return std::string_view::npos;
}
