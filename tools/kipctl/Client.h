#pragma once

#include "HostConnection.h"
#include "Output.h"
#include "TerminalText.h"
#include "wire/Ports.h"

#include <boost/property_tree/ptree.hpp>

#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

// networkChanged: the network no longer holds what a saved plan was made from, or another apply
// holds the box.
enum ExitStatus { ok = 0, usageError = 1, errorReply = 2, connectionFailed = 3, timedOut = 4, networkChanged = 6 };

struct Options {
    std::string host = "127.0.0.1";
    bool hostGiven = false;
    std::string timeout;  // empty: the command's default
    bool json = false;
    bool help = false;
    bool version = false;
    std::string command;
    std::vector<std::string> arguments;
};

using Tree = boost::property_tree::ptree;
using Milliseconds = std::chrono::milliseconds;

// Connects on the first request, so that bad usage is refused before kipd is contacted.
class Client {
public:
    Client(const Options& options, Milliseconds timeout) : options(options), timeout(timeout) {}

    Tree ask(const Tree& request)
    {
        send(request);
        return next(timeout);
    }
    // The next reply, printed as JSON under --json.
    Tree next(Milliseconds limit)
    {
        Tree reply = receive(limit);
        echo();
        return reply;
    }
    Tree receive(Milliseconds limit) { return connection->receive(limit); }
    void echo()
    {
        if (options.json)
            std::cout << output::compactJson(connection->lastText()) << std::endl;
    }
    void connect()
    {
        if (!connection)
            connection = std::make_unique<HostConnection>(options.host, kipport::host, timeout);
    }
    void send(const Tree& request)
    {
        connect();
        connection->send(request);
    }
    bool json() const { return options.json; }
    const std::string& host() const { return options.host; }
    Milliseconds limit() const { return timeout; }

private:
    Options options;
    Milliseconds timeout;
    std::unique_ptr<HostConnection> connection;
};


// An "error_info" reply, or an "error" member inside a "_response": reported, non-zero exit.
inline bool reportedError(const Tree& reply)
{
    boost::optional<const Tree&> error = reply.get_child_optional("error");
    if (!error)
        return false;
    std::string text = error->get<std::string>("message", "") + " (" + error->get<std::string>("id", "") + ")";
    std::cerr << "kipd: " << terminalText(text) << '\n';
    return true;
}
