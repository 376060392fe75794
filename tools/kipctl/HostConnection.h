#pragma once

#include "wire/NulFramer.h"

#include <boost/property_tree/ptree.hpp>

#include <chrono>
#include <stdexcept>
#include <string>

// Why a conversation with kipd ended without an answer.
class ConnectionError : public std::runtime_error {
public:
    enum class Kind { refused, timedOut, closed };
    ConnectionError(Kind kind, const std::string& text) : std::runtime_error(text), kind(kind) {}
    Kind kind;
};

// A reply kipctl does not read: longer than the framer's bound, nested too deeply, or not JSON.
class UnreadableReply : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One client connection to kipd's host protocol: NUL-terminated JSON both ways.
class HostConnection {
public:
    HostConnection(const std::string& host, int port, std::chrono::milliseconds timeout);
    ~HostConnection();
    HostConnection(const HostConnection&) = delete;
    HostConnection& operator=(const HostConnection&) = delete;

    void send(const boost::property_tree::ptree& request);
    // The next reply; throws ConnectionError when none comes within `limit`, UnreadableReply when
    // what comes cannot be read.
    boost::property_tree::ptree receive(std::chrono::milliseconds limit);
    // The raw JSON text of the last reply received.
    const std::string& lastText() const { return last; }

private:
    bool waitReadable(std::chrono::steady_clock::time_point deadline);
    bool waitWritable();
    void acknowledgeAtOnce();

    int fd = -1;
    NulFramer framer;
    std::string last;
};
