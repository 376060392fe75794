#include "confclient/IniReader.h"

#include <locale>
#include <tuple>
#include <utility>

using boost::property_tree::ptree;

namespace {

// property_tree's read_ini over the text in place (why and how checked: docs/performance.md).
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

}  // namespace

std::string readIni(const std::string& text, ptree& tree) { return IniReader(text).read(tree); }
