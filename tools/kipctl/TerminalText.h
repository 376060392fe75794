#pragma once

#include <string>
#include <string_view>

// A text from kipd, the network or a file as kipctl prints it: a character that a terminal would
// act on instead of showing, or that would reorder the characters around it, is written as a
// visible escape. Every table, plan and error line of kipctl passes its texts through here; the
// JSON kipctl prints is escaped by its writer instead.
//
//   \x1b    a C0 control or DEL, and each byte that is not part of well-formed UTF-8
//   \u009b  a C1 control (U+0080 to U+009F)
//   \u202e  a bidirectional mark, embedding, override or isolate (U+061C, U+200E, U+200F,
//           U+202A to U+202E, U+2066 to U+2069)
//   \\      a backslash, so that an escape cannot be forged
std::string terminalText(std::string_view text);
