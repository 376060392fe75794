#include "log/Log.h"

#include "log/LogChannel.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace {
const char* hostName()
{
    static char buffer[50];
    static std::once_flag readOnce;
    std::call_once(readOnce, [] {
        if (gethostname(buffer, sizeof buffer) != 0)
            buffer[0] = '\0';
        buffer[sizeof buffer - 1] = '\0';
    });
    return buffer;
}
}  // namespace

void log(int level, const char* format, ...)
{
    if (level == 0)
        return;
    const char* host = hostName();

    char message[200];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);

    char record[270];
    int length = std::snprintf(record, sizeof record, "LOG %d %s \"%s\"\n", level, host, message);
    if (length < 0)
        return;
    if (length >= static_cast<int>(sizeof record))
        length = sizeof record - 1;
    LogChannel::instance().multicast(std::string(record, length), "sys", level);
}
