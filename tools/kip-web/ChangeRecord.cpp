#include "ChangeRecord.h"

#include "Bounds.h"
#include "WebCounters.h"
#include "wire/Utf8.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>

namespace {

// Reads members of one JSON text as kipd's property tree does: the first member of a name,
// a string decoded, a number or literal as written, an object or array as an empty text. The
// text passed isJsonText, so it is well-formed and nested within the bound; nothing recurses.
class MemberScan {
public:
    explicit MemberScan(std::string_view text) : text(text) {}

    // The value at `path`, member names from the top object down, or nothing.
    std::optional<std::string> find(std::initializer_list<std::string_view> path)
    {
        at = 0;
        for (std::size_t level = 0; level < path.size(); ++level) {
            if (!enterObject() || !findMember(path.begin()[level]))
                return std::nullopt;
        }
        return valueText();
    }

private:
    bool enterObject()
    {
        skipSpace();
        if (text[at] != '{')
            return false;
        ++at;
        return true;
    }

    // Moves to the value of the first member named `name` of the object just entered.
    bool findMember(std::string_view name)
    {
        for (;;) {
            skipSpace();
            if (text[at] == '}')
                return false;
            std::string key = string();
            skipSpace();
            ++at;  // ':'
            skipSpace();
            if (key == name)
                return true;
            skipValue();
            skipSpace();
            if (text[at] == ',')
                ++at;
        }
    }

    std::string valueText()
    {
        if (text[at] == '"')
            return string();
        if (text[at] == '{' || text[at] == '[')
            return {};
        std::size_t from = at;
        skipScalar();
        return std::string(text.substr(from, at - from));
    }

    void skipValue()
    {
        if (text[at] == '"')
            return static_cast<void>(string());
        if (text[at] != '{' && text[at] != '[')
            return skipScalar();
        std::size_t depth = 0;
        do {
            char c = text[at];
            if (c == '"') {
                string();
                continue;
            }
            depth += c == '{' || c == '[';
            depth -= c == '}' || c == ']';
            ++at;
        } while (depth > 0);
    }

    void skipScalar()
    {
        while (at < text.size() && std::string_view(",}] \t\r\n").find(text[at]) == std::string_view::npos)
            ++at;
    }

    void skipSpace()
    {
        while (at < text.size() && std::string_view(" \t\r\n").find(text[at]) != std::string_view::npos)
            ++at;
    }

    // At its opening quote; moves past the closing one.
    std::string string()
    {
        std::string decoded;
        for (++at; text[at] != '"'; ++at) {
            if (text[at] != '\\') {
                decoded += text[at];
                continue;
            }
            constexpr std::string_view escapes = "\"\\/bfnrt", meanings = "\"\\/\b\f\n\r\t";
            char escape = text[++at];
            if (escape == 'u')
                appendUtf8(decoded, codePoint());
            else
                decoded += meanings[escapes.find(escape)];
        }
        ++at;
        return decoded;
    }

    // At the 'u' of \uXXXX (and of a low surrogate's after it); left at the last hex digit.
    std::uint32_t codePoint()
    {
        std::uint32_t unit = hex4();
        if (unit >= 0xD800 && unit < 0xDC00 && text.substr(at + 1, 2) == "\\u") {
            std::size_t back = at;
            at += 2;
            std::uint32_t low = hex4();
            if (low >= 0xDC00 && low < 0xE000)
                return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            at = back;
        }
        return unit;
    }

    std::uint32_t hex4()
    {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value = value * 16 + static_cast<std::uint32_t>(std::string_view("0123456789abcdef").find(
                                     static_cast<char>(text[++at] | 0x20)));
        return value;
    }

    std::string_view text;
    std::size_t at = 0;
};

// Visible ASCII but the quote and the backslash as they are; every other byte as \xHH, so a
// record stays one line of ASCII whatever a client names.
std::string quoted(std::string_view text)
{
    std::string out = "\"";
    for (char c : text.substr(0, bounds::maxRecordedMac)) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\')
            out += {'\\', c};
        else if (byte >= 0x20 && byte < 0x7F)
            out += c;
        else
            out += {'\\', 'x', "0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
    }
    return out + "\"";
}

}  // namespace

std::optional<ChangeRecord> ChangeRecord::of(std::string_view request)
{
    MemberScan scan(request);
    std::optional<std::string> type = scan.find({"type"});
    const auto& names = WebCounters::changeNames;
    auto known = std::find(names.begin(), names.end(), type.value_or(""));
    if (!type || known == names.end())
        return std::nullopt;
    if (*known == "set_tessora_info")
        return ChangeRecord(known - names.begin(), scan.find({"ip_settings", "mac_address"}).value_or(""));
    return ChangeRecord(known - names.begin(), scan.find({"mac_address"}));
}

std::string ChangeRecord::line(const std::string& client, bool tokenShown, const std::string& via) const
{
    return "kip-web: change " + std::string(WebCounters::changeNames[type]) + " mac=" +
           (mac ? quoted(*mac) : "this-box") + " client=" + client + " token=" + (tokenShown ? "yes" : "no") +
           " via=" + via;
}
