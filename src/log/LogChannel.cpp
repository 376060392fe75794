#include "log/LogChannel.h"

#include <boost/algorithm/string/trim.hpp>

#include <fstream>
#include <syslog.h>
#include <unistd.h>

std::string readSettingsValue(const std::string& path, const std::string& key,
                              const std::string& fallback)
{
    std::ifstream file(path);
    std::string line;
    std::string value = fallback;
    while (std::getline(file, line)) {
        boost::algorithm::trim(line);
        std::string::size_type equals = line.find('=');
        if (equals != std::string::npos && line.compare(0, equals, key) == 0 && equals == key.size())
            value = line.substr(equals + 1);
    }
    return value;
}

LogChannel& LogChannel::instance()
{
    static LogChannel channel;
    return channel;
}

LogChannel::LogChannel(const std::string& settingsPath)
    : name(readSettingsValue(settingsPath, "hostname", "corvanet")), sink(streamSink(STDERR_FILENO))
{
}

int LogChannel::multicast(const std::string& message, const std::string& group, int level)
{
    std::lock_guard<std::mutex> guard(sinkLock);
    if (!sink)
        return -1;
    sink(level, message, group);
    return static_cast<int>(message.size());
}

void LogChannel::setSink(LogSink newSink)
{
    std::lock_guard<std::mutex> guard(sinkLock);
    sink = std::move(newSink);
}

void LogChannel::useSyslog()
{
    std::lock_guard<std::mutex> guard(sinkLock);
    syslogIdent = name;
    openlog(syslogIdent.c_str(), LOG_PID, LOG_DAEMON);
    sink = syslogSink([](int priority, const std::string& message) { syslog(priority, "%s", message.c_str()); });
}
