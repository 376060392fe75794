#include "wire/NulFramer.h"

#include <algorithm>
#include <cstring>

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

bool NulFramer::takeComplete(std::string& messages)
{
    const std::size_t from = std::max(start, scanned);
    const void* nul = ::memrchr(buffer.data() + from, '\0', buffer.size() - from);  // only the new bytes
    if (!nul) {
        buffer.erase(0, start);
        start = 0;
        scanned = buffer.size();
        return false;
    }
    const std::size_t last = static_cast<const char*>(nul) - buffer.data();
    messages.assign(buffer, start, last + 1 - start);
    buffer.erase(0, last + 1);
    start = 0;
    scanned = buffer.size();
    return true;
}
