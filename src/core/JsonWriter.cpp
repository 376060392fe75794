#include "core/JsonWriter.h"

#include <cmath>
#include <cstdio>

namespace {
// Length of the well-formed UTF-8 sequence at `at`, or 0 when there is none.
std::size_t utf8Length(const std::string& text, std::size_t at)
{
    auto byte = [&text](std::size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    const unsigned lead = byte(at);
    if (lead < 0x80)
        return 1;
    std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    // The second byte's range rules out overlong forms, surrogates and anything above U+10FFFF.
    unsigned low = 0x80, high = 0xBF;
    if (lead < 0xC2 || lead > 0xF4)
        return 0;
    if (lead == 0xE0)
        low = 0xA0;
    else if (lead == 0xED)
        high = 0x9F;
    else if (lead == 0xF0)
        low = 0x90;
    else if (lead == 0xF4)
        high = 0x8F;
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned next = byte(at + i);
        if (next < (i == 1 ? low : 0x80u) || next > (i == 1 ? high : 0xBFu))
            return 0;
    }
    return length;
}
}  // namespace

void JsonWriter::separate()
{
    if (afterKey) {
        afterKey = false;
        return;
    }
    if (!filled.empty()) {
        if (filled.back())
            out += ',';
        filled.back() = true;
    }
}

JsonWriter& JsonWriter::beginObject()
{
    separate();
    out += '{';
    filled.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::endObject()
{
    out += '}';
    filled.pop_back();
    return *this;
}

JsonWriter& JsonWriter::beginArray()
{
    separate();
    out += '[';
    filled.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::endArray()
{
    out += ']';
    filled.pop_back();
    return *this;
}

JsonWriter& JsonWriter::key(const std::string& name)
{
    separate();
    writeString(name);
    out += ':';
    afterKey = true;
    return *this;
}

JsonWriter& JsonWriter::value(const std::string& text)
{
    separate();
    writeString(text);
    return *this;
}

JsonWriter& JsonWriter::value(bool flag)
{
    return raw(flag ? "true" : "false");
}

JsonWriter& JsonWriter::raw(const std::string& text)
{
    separate();
    out += text;
    return *this;
}

JsonWriter& JsonWriter::value(double number)
{
    if (!std::isfinite(number))
        return null();
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", number);
    std::string digits(text);
    digits.erase(digits.find_last_not_of('0') + 1);
    if (digits.back() == '.')
        digits.pop_back();
    return raw(digits == "-0" ? "0" : digits);
}

JsonWriter& JsonWriter::null()
{
    return raw("null");
}

void JsonWriter::writeString(const std::string& text)
{
    out += '"';
    for (std::size_t at = 0; at < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        const std::size_t length = utf8Length(text, at);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++at;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.append(text, at, length);
        }
        at += length;
    }
    out += '"';
}
