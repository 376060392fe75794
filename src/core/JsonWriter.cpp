#include "core/JsonWriter.h"

#include "wire/Utf8.h"

#include <cmath>
#include <cstdio>

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
        const std::size_t length = utf8SequenceLength(text, at);
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
