#include "wire/NulFramer.h"

#include <algorithm>

bool NulFramer::next(std::string& message)
{
    std::size_t end = buffer.find('\0', std::max(start, scanned));
    if (end == std::string::npos) {
        buffer.erase(0, start);  // keep only the unterminated tail, searched already
        start = 0;
        scanned = buffer.size();
        return false;
    }
    message.assign(buffer, start, end - start);
    start = end + 1;
    scanned = start;
    return true;
}
