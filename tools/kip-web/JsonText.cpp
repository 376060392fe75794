#include "JsonText.h"

#include "wire/JsonNesting.h"
#include "wire/Utf8.h"

#include <vector>

namespace {

class JsonChecker {
public:
    explicit JsonChecker(std::string_view text) : text(text) {}

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
    std::size_t at = 0;
    std::vector<char> open;
};

}  // namespace

bool isJsonText(std::string_view text, std::size_t maxDepth)
{
    // The checker keeps one entry per open level: the nesting is bounded before it starts.
    return isUtf8(text) && !nestsTooDeep(text, maxDepth) && JsonChecker(text).check();
}
