#pragma once

#include <boost/property_tree/ptree.hpp>

#include <string>
#include <vector>

// The text form of configuration-daemon messages: an envelope of "to", "from" and "msg"
// lines, body lines of key=value, and a terminating NUL byte.

// The direct children of `body`, each written as key=value and a line feed, in order.
// Deeper levels are not written; values are written unchanged.
std::string serializeBody(const boost::property_tree::ptree& body);

// Appends the line key=value to a flat body; the key is taken whole, dots included.
void appendLine(boost::property_tree::ptree& body, const std::string& key, const std::string& value);

// The whole message as sent, NUL included.
std::string buildMessage(const std::string& destination, const std::string& from, const std::string& name,
                         const std::string& body);

// Numbers runs of adjacent equal keys from 0 (text, text -> text0, text1) so the INI reader
// accepts them. Lines without "=" are skipped; two pairs or fewer give the empty text.
std::string numberDuplicateKeys(const std::string& text);

// Reads one message as INI text; duplicate keys are numbered and read once more. A message
// that cannot be read gives the empty tree.
boost::property_tree::ptree parseMessage(const std::string& text);

// Splits at every one of `separators`, keeping empty fields.
std::vector<std::string> splitFields(const std::string& text, const std::string& separators);

// Every byte as two upper-case hexadecimal digits, without separators.
std::string hexEncode(const std::string& bytes);

// Two characters at a time as one byte (a final single character alone). Each pair decodes
// as far as its digits are valid: "4G" gives 0x04, a pair starting with a non-digit gives 0.
std::string hexDecode(const std::string& text);
