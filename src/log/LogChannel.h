#pragma once

#include <functional>
#include <mutex>
#include <string>

// Reads one key of a "key=value" settings file; the last matching line wins.
std::string readSettingsValue(const std::string& path, const std::string& key,
                              const std::string& fallback);

// The process-wide channel that carries log records to their group. Records leave the
// process through a sink: standard error by default, syslog when the daemon detaches.
class LogChannel {
public:
    using Sink = std::function<void(const std::string& record, const std::string& group)>;

    static LogChannel& instance();

    explicit LogChannel(const std::string& settingsPath = "/conf/ipconfig");
    virtual ~LogChannel() = default;

    // Sends one record; returns its length, or -1 when no sink is open.
    int multicast(const std::string& message, const std::string& group);

    void setSink(Sink sink);
    void useSyslog();
    const std::string& privateName() const { return name; }

private:
    std::string name;
    std::string syslogIdent;
    Sink sink;
    std::mutex sinkLock;
};
