// Reads the same bytes with readIni and with property_tree's read_ini: both must give the same
// tree (keys, data, order, nesting), or both fail with the same message. The line number that
// read_ini adds to its error is not part of readIni's promise, so only the message is compared.
#include "confclient/IniReader.h"

#include <boost/property_tree/ini_parser.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

using boost::property_tree::ptree;

namespace {

struct Reading {
    ptree tree;
    std::string error;
};

Reading readWithPropertyTree(const std::string& text)
{
    Reading reading;
    std::istringstream stream(text);
    try {
        boost::property_tree::ini_parser::read_ini(stream, reading.tree);
    } catch (const boost::property_tree::ini_parser_error& e) {
        reading.tree.clear();
        reading.error = e.message();
    }
    return reading;
}

// Keys and data quoted with their bytes, so white space and control characters show.
void printQuoted(const std::string& text)
{
    std::fputc('"', stderr);
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\')
            std::fputc(c, stderr);
        else
            std::fprintf(stderr, "\\x%02X", c);
    }
    std::fputc('"', stderr);
}

void printTree(const ptree& tree, int depth)
{
    for (const ptree::value_type& child : tree) {
        std::fprintf(stderr, "%*s", depth * 2, "");
        printQuoted(child.first);
        std::fputs(" = ", stderr);
        printQuoted(child.second.data());
        std::fputc('\n', stderr);
        printTree(child.second, depth + 1);
    }
}

void printReading(const char* reader, const Reading& reading)
{
    std::fprintf(stderr, "%s: error ", reader);
    printQuoted(reading.error);
    std::fputs(", tree:\n", stderr);
    printTree(reading.tree, 1);
}

// Keys compared byte for byte: the tree's own equality goes through its key ordering.
bool sameTree(const ptree& a, const ptree& b)
{
    if (a.data() != b.data() || a.size() != b.size())
        return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
        if (i->first != j->first || !sameTree(i->second, j->second))
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    Reading own;
    own.tree.put("left.from.before", "stale");  // replaced on success, emptied on error
    own.error = readIni(text, own.tree);
    const Reading reference = readWithPropertyTree(text);
    if (own.error != reference.error || !sameTree(own.tree, reference.tree)) {
        printReading("readIni", own);
        printReading("read_ini", reference);
        std::abort();
    }
    return 0;
}
