#pragma once

#include "SystemDescription.h"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

// The system as a JSON file: read and checked whole, or written from a search.
namespace systemfile {

constexpr long schemaVersion = 1;
// kipd reads a level number as a C int; 0 is its mark for "no level".
constexpr long firstLevel = 1;
constexpr long lastLevel = 2147483647;

// What kipctl reads of a file; a file beyond these is refused, read no further.
constexpr std::size_t fileSizeLimit = 1 << 20;
constexpr std::size_t planSizeLimit = 4 << 20;  // a saved plan holds a system file and more
constexpr std::size_t deviceListLimit = 1000;  // entries of "tessora", and of "other_devices"
constexpr std::size_t problemLimit = 50;       // problems listed; the rest are counted

// Everything wrong with a file, one problem a line, each naming the file and the place.
class FileError : public std::runtime_error {
public:
    explicit FileError(const std::vector<std::string>& problems);
    const std::vector<std::string>& problems() const { return lines; }

private:
    std::vector<std::string> lines;
};

// A file's text, at most `limit` bytes and one more, so that a longer one (or one without end,
// such as a device) is refused by its parser without being read whole.
std::string readText(const std::string& path, std::size_t limit);
SystemDescription read(const std::string& path);
SystemDescription parse(const std::string& text, const std::string& name);
std::string text(const SystemDescription& system);

bool isMac(const std::string& text);
bool isIpv4(const std::string& text);
bool isSubnetMask(const std::string& text);

}  // namespace systemfile
