#include "confclient/ConfMessage.h"

#include <locale>
#include <tuple>
#include <utility>

using boost::property_tree::ptree;

namespace {

// The INI reading of the property-tree library (read_ini), done on the text in place: the same
// lines, trimming (white space of the global locale), comments, sections, errors and error
// messages, without a stream, a copy of every line or a locale look-up per character. Every
// configuration-daemon message passes through here.
class IniReader {
public:
    explicit IniReader(const std::string& text)
        : text(text), ctype(std::use_facet<std::ctype<char>>(std::locale()))
    {
    }

    // Fills `tree` and returns the empty text, or leaves it empty and returns the error message.
    std::string read(ptree& tree)
    {
        ptree local;
        section = nullptr;
        std::string error;
        std::string::size_type start = 0;
        for (;;) {
            const std::string::size_type end = text.find('\n', start);
            error = readLine(start, end == std::string::npos ? text.size() : end, local);
            if (!error.empty() || end == std::string::npos)
                break;
            start = end + 1;
        }
        if (!error.empty()) {
            tree.clear();
            return error;
        }
        dropEmptySection(local);
        tree.swap(local);
        return std::string();
    }

private:
    bool isSpace(char c) const { return ctype.is(std::ctype_base::space, c); }

    // Narrows [first, last) to its text without surrounding white space.
    void trim(std::string::size_type& first, std::string::size_type& last) const
    {
        while (first < last && isSpace(text[first]))
            ++first;
        while (last > first && isSpace(text[last - 1]))
            --last;
    }

    std::string trimmed(std::string::size_type first, std::string::size_type last) const
    {
        trim(first, last);
        return text.substr(first, last - first);
    }

    // A section that got no key is dropped again when the next one opens and at the end.
    void dropEmptySection(ptree& local)
    {
        if (section && section->empty())
            local.pop_back();
    }

    std::string readLine(std::string::size_type first, std::string::size_type last, ptree& local)
    {
        trim(first, last);
        if (first == last || text[first] == ';' || text[first] == '#')
            return std::string();
        if (text[first] == '[')
            return readSection(first, last, local);
        return readKey(first, last, section ? *section : local);
    }

    std::string readSection(std::string::size_type first, std::string::size_type last, ptree& local)
    {
        dropEmptySection(local);
        const std::string::size_type close = text.find(']', first);
        if (close == std::string::npos || close >= last)
            return "unmatched '['";
        std::string key = trimmed(first + 1, close);
        if (local.find(key) != local.not_found())
            return "duplicate section name";
        section = &local.push_back(std::make_pair(std::move(key), ptree()))->second;
        return std::string();
    }

    std::string readKey(std::string::size_type first, std::string::size_type last, ptree& container)
    {
        const std::string::size_type equals = text.find('=', first);
        if (equals == std::string::npos || equals >= last)
            return "'=' character not found in line";
        if (equals == first)
            return "key expected";
        std::string key = trimmed(first, equals);
        if (container.find(key) != container.not_found())
            return "duplicate key name";
        // The child is built in place and copied once: every copy of a tree allocates.
        ptree::value_type child(std::piecewise_construct, std::forward_as_tuple(std::move(key)), std::forward_as_tuple());
        child.second.data() = trimmed(equals + 1, last);
        container.push_back(child);
        return std::string();
    }

    const std::string& text;
    const std::ctype<char>& ctype;
    ptree* section = nullptr;
};

// Reads INI text into `tree`; returns the reader's error message, or the empty text.
std::string readIni(const std::string& text, ptree& tree) { return IniReader(text).read(tree); }

}  // namespace

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
