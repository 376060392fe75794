#include "confclient/ConfMessage.h"

#include <boost/property_tree/ini_parser.hpp>

#include <sstream>
#include <utility>

using boost::property_tree::ptree;

namespace {

// Reads INI text into `tree`; returns the reader's error message, or the empty text.
std::string readIni(const std::string& text, ptree& tree)
{
    std::istringstream stream(text);
    try {
        boost::property_tree::ini_parser::read_ini(stream, tree);
    } catch (const boost::property_tree::ini_parser_error& error) {
        tree.clear();
        return error.message();
    }
    return std::string();
}

}  // namespace

std::string serializeBody(const ptree& body)
{
    std::string lines;
    for (const ptree::value_type& child : body)
        lines += child.first + "=" + child.second.data() + "\n";
    return lines;
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
