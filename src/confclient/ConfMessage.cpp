#include "confclient/ConfMessage.h"

#include "confclient/IniReader.h"

#include <utility>

using boost::property_tree::ptree;

std::string serializeBody(const ptree& body)
{
    std::string lines;
    for (const ptree::value_type& child : body)
        lines += child.first + "=" + child.second.data() + "\n";
    return lines;
}

void appendLine(ptree& body, const std::string& key, const std::string& value)
{
    body.push_back(ptree::value_type(key, ptree(value)));
}

std::string buildMessage(const std::string& destination, const std::string& from, const std::string& name,
                         const std::string& body)
{
    std::string message = "to=" + destination + "\nfrom=" + from + "\nmsg=" + name + "\n" + body;
    message.push_back('\0');
    return message;
}

std::string numberDuplicateKeys(const std::string& text)
{
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const std::string& line : splitFields(text, "\n")) {
        std::string::size_type equals = line.find('=');
        if (equals != std::string::npos)
            pairs.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
    if (pairs.size() <= 2)
        return std::string();

    std::string numbered;
    int counter = 0;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const std::string& key = pairs[i].first;
        if (i + 1 < pairs.size() && pairs[i + 1].first == key) {
            numbered += key + std::to_string(counter);
            ++counter;
        } else if (counter > 0) {
            numbered += key + std::to_string(counter);
            counter = 0;
        } else {
            numbered += key;
        }
        numbered += "=" + pairs[i].second + "\n";
    }
    return numbered;
}

ptree parseMessage(const std::string& text)
{
    ptree message;
    if (readIni(text, message) == "duplicate key name")
        readIni(numberDuplicateKeys(text), message);
    return message;
}

std::vector<std::string> splitFields(const std::string& text, const std::string& separators)
{
    std::vector<std::string> fields;
    std::string::size_type start = 0;
    for (;;) {
        std::string::size_type end = text.find_first_of(separators, start);
        if (end == std::string::npos) {
            fields.push_back(text.substr(start));
            return fields;
        }
        fields.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::string hexEncode(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}

namespace {

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One group of up to two digits; the value stops at the first character that is no digit.
char decodeHexGroup(const std::string& text, std::string::size_type start)
{
    int value = 0;
    for (std::string::size_type i = start; i < text.size() && i < start + 2; ++i) {
        const int digit = hexDigitValue(text[i]);
        if (digit < 0)
            break;
        value = value * 16 + digit;
    }
    return static_cast<char>(value);
}

}  // namespace

std::string hexDecode(const std::string& text)
{
    std::string bytes;
    bytes.reserve((text.size() + 1) / 2);
    for (std::string::size_type i = 0; i < text.size(); i += 2)
        bytes.push_back(decodeHexGroup(text, i));
    return bytes;
}
