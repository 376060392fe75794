#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Well-formed UTF-8: no overlong forms, no surrogates, nothing beyond U+10FFFF.

// Length of the well-formed UTF-8 sequence at `at`, or 0 when there is none.
std::size_t utf8SequenceLength(std::string_view text, std::size_t at);

bool isUtf8(std::string_view text);

// Appends the code point `code` (at most U+10FFFF) as UTF-8.
void appendUtf8(std::string& out, std::uint32_t code);

// `text` with each byte that starts no well-formed sequence replaced by U+FFFD.
std::string validUtf8(std::string_view text);

// A byte that continues a sequence: a cut just before it would split a character.
inline bool isUtf8Continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }
