#include "log/LogSinks.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {
void writeAll(int fd, const std::string& text)
{
    std::size_t written = 0;
    while (written < text.size()) {
        ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n <= 0)
            return;
        written += static_cast<std::size_t>(n);
    }
}
}  // namespace

// Lower levels are more severe: 1 (and below) critical, 2 errors, 3 warnings, 4 notices,
// 5 information, anything higher debugging detail.
int syslogPriority(int level)
{
    if (level <= 1)
        return LOG_CRIT;
    if (level >= 6)
        return LOG_DEBUG;
    static const int priorities[] = {LOG_ERR, LOG_WARNING, LOG_NOTICE, LOG_INFO};
    return priorities[level - 2];
}

std::string journalLine(int level, const std::string& record)
{
    const std::string prefix = "<" + std::to_string(syslogPriority(level)) + ">";
    std::string line;
    std::string::size_type start = 0;
    while (start < record.size()) {
        std::string::size_type end = record.find('\n', start);
        end = end == std::string::npos ? record.size() : end + 1;
        line += prefix;
        line.append(record, start, end - start);
        start = end;
    }
    // A record cut short loses its line feed; the journal would join it to the next one.
    if (line.empty() || line.back() != '\n')
        line += '\n';
    return line;
}

bool isJournalStream(const char* journalStream, int fd)
{
    struct stat status;
    if (!journalStream || ::fstat(fd, &status) != 0)
        return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char rest = 0;
    return std::sscanf(journalStream, "%llu:%llu%c", &device, &inode, &rest) == 2 &&
           device == static_cast<unsigned long long>(status.st_dev) &&
           inode == static_cast<unsigned long long>(status.st_ino);
}

LogSink streamSink(int fd)
{
    if (isJournalStream(std::getenv("JOURNAL_STREAM"), fd))
        return [fd](int level, const std::string& record, const std::string&) {
            writeAll(fd, journalLine(level, record));
        };
    return [fd](int, const std::string& record, const std::string&) { writeAll(fd, record); };
}

LogSink syslogSink(SyslogWriter write)
{
    return [write = std::move(write)](int level, const std::string& record, const std::string&) {
        bool endsLine = !record.empty() && record.back() == '\n';
        write(syslogPriority(level), record.substr(0, record.size() - (endsLine ? 1 : 0)));
    };
}
