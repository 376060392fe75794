#include "wire/Utf8.h"

std::size_t utf8SequenceLength(std::string_view text, std::size_t at)
{
    auto byteAt = [text](std::size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    unsigned lead = byteAt(at);
    unsigned secondLow = 0x80;
    unsigned secondHigh = 0xBF;
    std::size_t length;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        secondLow = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        secondHigh = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        secondLow = lead == 0xF0 ? 0x90 : 0x80;
        secondHigh = lead == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        unsigned next = byteAt(at + i);
        if (next < (i == 1 ? secondLow : 0x80) || next > (i == 1 ? secondHigh : 0xBF))
            return 0;
    }
    return length;
}

bool isUtf8(std::string_view text)
{
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = utf8SequenceLength(text, at);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

std::string validUtf8(std::string_view text)
{
    std::string result;
    result.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = utf8SequenceLength(text, at);
        if (length == 0) {
            result += "\xEF\xBF\xBD";
            ++at;
        } else {
            result.append(text, at, length);
            at += length;
        }
    }
    return result;
}

void appendUtf8(std::string& out, std::uint32_t code)
{
    auto byte = [&out](std::uint32_t value) { out += static_cast<char>(value); };
    if (code < 0x80)
        return byte(code);
    if (code < 0x800)
        return byte(0xC0 | code >> 6), byte(0x80 | (code & 0x3F));
    if (code < 0x10000)
        return byte(0xE0 | code >> 12), byte(0x80 | (code >> 6 & 0x3F)), byte(0x80 | (code & 0x3F));
    byte(0xF0 | code >> 18), byte(0x80 | (code >> 12 & 0x3F)), byte(0x80 | (code >> 6 & 0x3F)),
        byte(0x80 | (code & 0x3F));
}
