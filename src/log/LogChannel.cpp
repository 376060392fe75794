#include "log/LogChannel.h"

#include <boost/algorithm/string/trim.hpp>

#include <cstdio>
#include <fstream>
#include <syslog.h>

namespace {
void writeToStandardError(const std::string& record, const std::string&)
{
    std::fwrite(record.data(), 1, record.size(), stderr);
}
}  // namespace

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
    : name(readSettingsValue(settingsPath, "hostname", "corvanet")), sink(writeToStandardError)
{
}

int LogChannel::multicast(const std::string& message, const std::string& group)
{
    std::lock_guard<std::mutex> guard(sinkLock);
    if (!sink)
        return -1;
    sink(message, group);
    return static_cast<int>(message.size());
}

void LogChannel::setSink(Sink newSink)
{
    std::lock_guard<std::mutex> guard(sinkLock);
    sink = std::move(newSink);
}

void LogChannel::useSyslog()
{
    std::lock_guard<std::mutex> guard(sinkLock);
    syslogIdent = name;
    openlog(syslogIdent.c_str(), LOG_PID, LOG_DAEMON);
    sink = [](const std::string& record, const std::string&) { syslog(LOG_INFO, "%s", record.c_str()); };
}
