#include "JsonText.h"

#include <vector>

namespace {

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the UTF-8 sequence at `at`, or 0 when it is not a valid one.
std::size_t sequenceLength(std::string_view text, std::size_t at)
{
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    unsigned char lead = byte(0);
    std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                                                                          : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (length == 0 || at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i)
        if (!isContinuation(byte(i)))
            return 0;
    // No overlong forms, no surrogates, nothing beyond U+10FFFF.
    if ((lead == 0xE0 && byte(1) < 0xA0) || (lead == 0xED && byte(1) > 0x9F) || (lead == 0xF0 && byte(1) < 0x90) ||
        (lead == 0xF4 && byte(1) > 0x8F))
        return 0;
    return length;
}

class JsonChecker {
public:
    JsonChecker(std::string_view text, std::size_t maxDepth) : text(text), maxDepth(maxDepth) {}

    bool check()
    {
        for (;;) {
            Start start = startValue();
            if (start == Start::error)
                return false;
            if (start == Start::opened)
                continue;
            Next next = afterValue();
            if (next != Next::value)
                return next == Next::end;
        }
    }

private:
    enum class Start { opened, complete, error };
    enum class Next { value, end, error };

    // A scalar or an empty container is complete at once; a container with members is opened.
    Start startValue()
    {
        skipSpace();
        char c = peek();
        if (c != '{' && c != '[')
            return scalar() ? Start::complete : Start::error;
        if (open.size() == maxDepth)
            return Start::error;
        ++at;
        skipSpace();
        if (take(c == '{' ? '}' : ']'))
            return Start::complete;
        open.push_back(c);
        return c == '[' || key() ? Start::opened : Start::error;
    }

    Next afterValue()
    {
        for (;;) {
            skipSpace();
            if (open.empty())
                return at == text.size() ? Next::end : Next::error;
            if (take(open.back() == '{' ? '}' : ']')) {
                open.pop_back();
                continue;
            }
            if (!take(','))
                return Next::error;
            skipSpace();
            return open.back() == '[' || key() ? Next::value : Next::error;
        }
    }

    bool scalar()
    {
        switch (peek()) {
        case '"': return string();
        case 't': return literal("true");
        case 'f': return literal("false");
        case 'n': return literal("null");
        default: return number();
        }
    }

    bool key()
    {
        if (!string())
            return false;
        skipSpace();
        return take(':');
    }

    bool string()
    {
        if (!take('"'))
            return false;
        while (at < text.size()) {
            unsigned char c = static_cast<unsigned char>(text[at++]);
            if (c == '"')
                return true;
            if (c < 0x20 || (c == '\\' && !escape()))
                return false;
        }
        return false;
    }

    bool escape()
    {
        char c = peek();
        ++at;
        if (c != 'u')
            return c == '"' || c == '\\' || c == '/' || c == 'b' || c == 'f' || c == 'n' || c == 'r' || c == 't';
        for (int i = 0; i < 4; ++i, ++at)
            if (!isHex(peek()))
                return false;
        return true;
    }

    bool number()
    {
        take('-');
        if (!take('0') && !digits())
            return false;
        if (take('.') && !digits())
            return false;
        if (take('e') || take('E')) {
            if (!take('+'))
                take('-');
            return digits();
        }
        return true;
    }

    bool digits()
    {
        std::size_t first = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9')
            ++at;
        return at > first;
    }

    bool literal(std::string_view word)
    {
        if (text.substr(at, word.size()) != word)
            return false;
        at += word.size();
        return true;
    }

    bool take(char c)
    {
        if (peek() != c)
            return false;
        ++at;
        return true;
    }
    // NUL never belongs to JSON text, so it also stands for the end.
    char peek() const { return at < text.size() ? text[at] : '\0'; }
    void skipSpace()
    {
        while (at < text.size() && isSpace(text[at]))
            ++at;
    }
    static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    static bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

    std::string_view text;
    std::size_t maxDepth;
    std::size_t at = 0;
    std::vector<char> open;
};

}  // namespace

bool isUtf8(std::string_view text)
{
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = sequenceLength(text, at);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

bool isJsonText(std::string_view text, std::size_t maxDepth)
{
    return isUtf8(text) && JsonChecker(text, maxDepth).check();
}
