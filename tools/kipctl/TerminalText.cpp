#include "TerminalText.h"

#include "wire/Utf8.h"

#include <cstdio>

namespace {

unsigned codePoint(std::string_view sequence)
{
    auto byte = [sequence](std::size_t i) { return static_cast<unsigned char>(sequence[i]) & 0x3Fu; };
    switch (sequence.size()) {
    case 1: return static_cast<unsigned char>(sequence[0]);
    case 2: return (static_cast<unsigned char>(sequence[0]) & 0x1Fu) << 6 | byte(1);
    case 3: return (static_cast<unsigned char>(sequence[0]) & 0x0Fu) << 12 | byte(1) << 6 | byte(2);
    default: return (static_cast<unsigned char>(sequence[0]) & 0x07u) << 18 | byte(1) << 12 | byte(2) << 6 | byte(3);
    }
}

bool reorders(unsigned code)
{
    return code == 0x061C || code == 0x200E || code == 0x200F || (code >= 0x202A && code <= 0x202E) ||
           (code >= 0x2066 && code <= 0x2069);
}

void appendEscape(std::string& out, const char* format, unsigned value)
{
    char escape[16];
    std::snprintf(escape, sizeof escape, format, value);
    out += escape;
}

}  // namespace

std::string terminalText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = utf8SequenceLength(text, at);
        if (length == 0) {
            appendEscape(out, "\\x%02x", static_cast<unsigned char>(text[at++]));
            continue;
        }
        std::string_view sequence = text.substr(at, length);
        at += length;
        unsigned code = codePoint(sequence);
        if (code < 0x20 || code == 0x7F)
            appendEscape(out, "\\x%02x", code);
        else if ((code >= 0x80 && code <= 0x9F) || reorders(code))
            appendEscape(out, "\\u%04x", code);
        else if (code == '\\')
            out += "\\\\";
        else
            out += sequence;
    }
    return out;
}
