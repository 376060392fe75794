#include "model/SpreadFile.h"

#include "model/SystemVocabulary.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {
const char* const spreadPort = "2836";
const char* const placeholderMarker = "dummy";  // the gateway line is a placeholder, not a member

// (address OR NOT mask) as dotted-quad text; an empty or invalid text parses as all ones.
std::string broadcastAddress(const std::string& address, const std::string& mask)
{
    in_addr broadcast{};
    broadcast.s_addr = ::inet_addr(address.c_str()) | ~::inet_addr(mask.c_str());
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &broadcast, text, sizeof text);
    return text;
}

// The text between the first "{" and the first "}" (to the end when "}" comes first).
bool findHostBlock(const std::string& text, std::string& block)
{
    std::size_t open = text.find('{');
    std::size_t close = text.find('}');
    if (open == std::string::npos || close == std::string::npos)
        return false;
    block = close > open ? text.substr(open + 1, close - open - 1) : text.substr(open + 1);
    return true;
}

// Puts one host line into the tree; returns false for lines that name no member.
bool addHostLine(SystemTree& tree, const std::string& line)
{
    std::size_t start = line.find_first_not_of(" \t\r\n");
    if (start == std::string::npos || line.find(placeholderMarker) != std::string::npos)
        return false;
    std::size_t separator = line.find_first_of(" \t", start);
    std::string name = line.substr(start, separator == std::string::npos ? std::string::npos : separator - start);
    std::string value;
    if (separator != std::string::npos) {
        value = line.substr(separator + 1);
        value = value.substr(0, value.find('\r'));
    }
    tree.putEntry(systempath::spreadHosts, name, value);
    return true;
}
}  // namespace

std::string makeSpreadFile(const SystemTree& tree)
{
    std::string address = tree.getOr(systempath::own("ip_settings.ip_address"), "");
    std::string mask = tree.getOr(systempath::own("ip_settings.subnet_mask"), "");
    std::string gateway = tree.getOr(systempath::own("ip_settings.default_gateway"), "");
    std::string hostname = tree.getOr(systempath::own("ip_settings.hostname"), "");
    return "Spread_Segment " + broadcastAddress(address, mask) + ":" + spreadPort + " {\n" +
           hostname + " " + address + "\n" +
           "dummycon " + gateway + "\n" +
           "}\n" +
           "SocketPortReuse = ON\n";
}

void parseSpreadFile(SystemTree& tree, const std::string& text)
{
    tree.put(systempath::spreadFile, text);
    int count = 0;
    std::string block;
    if (findHostBlock(text, block)) {
        std::size_t lineStart = 0;
        for (;;) {
            std::size_t lineEnd = block.find('\n', lineStart);
            if (addHostLine(tree, block.substr(lineStart, lineEnd == std::string::npos ? lineEnd : lineEnd - lineStart)))
                ++count;
            if (lineEnd == std::string::npos)
                break;
            lineStart = lineEnd + 1;
        }
    }
    tree.put(systempath::spreadHostCount, count);
}
