#pragma once

#include "log/LogSinks.h"

#include <mutex>
#include <string>

// Reads one key of a "key=value" settings file; the last matching line wins.
std::string readSettingsValue(const std::string& path, const std::string& key,
                              const std::string& fallback);

// The process-wide channel of log records. Records leave the process through a sink: standard
// error (or the journal behind it) by default, syslog when the daemon detaches.
class LogChannel {
public:
    static LogChannel& instance();

    explicit LogChannel(const std::string& settingsPath = "/conf/ipconfig");
    virtual ~LogChannel() = default;

    // Sends one record of `level` (the group is handed to the sink, which ignores it); returns
    // its length, or -1 when no sink is open.
    int multicast(const std::string& message, const std::string& group, int level);

    void setSink(LogSink sink);
    void useSyslog();
    // The box's name from the settings file, which syslog records carry; tests read it here.
    const std::string& privateName() const { return name; }

private:
    std::string name;
    std::string syslogIdent;
    LogSink sink;
    std::mutex sinkLock;
};
