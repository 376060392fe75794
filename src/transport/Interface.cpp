#include "transport/Interface.h"

#include "core/CommandSingleton.h"
#include "log/Log.h"
#include "transport/Protocol.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <algorithm>

bool Interface::isConnected() { return true; }

// No option is known to a link in general (see TcpClientInterface).
void Interface::setOption(int, int) {}

void Interface::closeForViolation(ClientCensus::Cause, const std::string&) { close(); }

Protocol* Interface::currentProtocol() { return protocol.load(); }

void Interface::setProtocol(Protocol* newProtocol)
{
    {
        std::lock_guard<std::mutex> guard(pendingDirectLock);
        protocol.store(newProtocol);
        if (newProtocol && !pendingDirectData.empty()) {
            newProtocol->handleDataDirect(pendingDirectData, this);
            pendingDirectData.clear();
        }
    }
    if (!newProtocol)
        return;
    std::lock_guard<std::mutex> guard(pendingLock);
    if (!pendingData.empty()) {
        CommandSingleton::instance().enqueue(
            std::make_shared<SharedCommand<Interface>>(shared_from_this(), &Interface::deliverData), pendingData);
        pendingData.clear();
    }
}

void Interface::setDisconnectCommand(std::shared_ptr<Command> command)
{
    std::lock_guard<std::mutex> guard(disconnectCommandLock);
    disconnectCommand = std::move(command);
}

std::shared_ptr<Command> Interface::currentDisconnectCommand() const
{
    std::lock_guard<std::mutex> guard(disconnectCommandLock);
    return disconnectCommand;
}

// For a protocol that must see bytes on the event loop as they arrive; none of the daemon's does.
// The lock is held while the protocol runs: a protocol being released on the worker
// (`setProtocol(nullptr)`) then never has this call in progress.
void Interface::deliverDataDirect(const std::string& data)
{
    std::lock_guard<std::mutex> guard(pendingDirectLock);
    if (Protocol* target = currentProtocol())
        target->handleDataDirect(data, this);
    else
        pendingDirectData += data;
}

void Interface::deliverData(const std::string& data)
{
    if (Protocol* target = currentProtocol()) {
        target->handleData(data, this);
        return;
    }
    std::lock_guard<std::mutex> guard(pendingLock);
    pendingData += data;
}

void Interface::queueReceived(const std::string& data)
{
    deliverDataDirect(data);
    // The queued delivery keeps the link alive until the worker has handed the bytes over.
    CommandSingleton::instance().enqueue(
        std::make_shared<SharedCommand<Interface>>(shared_from_this(), &Interface::deliverData), data);
}

void Interface::addCommLog(const std::string& text)
{
    std::string entry = text.substr(0, flowlimits::commLogEntryLength);
    std::replace_if(
        entry.begin(), entry.end(), [](char c) { return c == '\n' || c == '\r' || c == '"'; }, '!');
    entry = boost::posix_time::to_simple_string(boost::posix_time::second_clock::local_time()) + " " + entry;

    std::lock_guard<std::mutex> guard(commLogLock);
    commLog.push_back(std::move(entry));
    while (commLog.size() > flowlimits::commLogEntries)
        commLog.pop_front();
}

std::vector<std::string> Interface::commLogEntries() const
{
    std::lock_guard<std::mutex> guard(commLogLock);
    return std::vector<std::string>(commLog.begin(), commLog.end());
}

// Writes the recent traffic to the log, for diagnosing a link.
void Interface::dumpCommLog(int level, const std::string& name)
{
    std::lock_guard<std::mutex> guard(commLogLock);
    int number = 0;
    for (const std::string& entry : commLog)
        log(level, "%s: CommLog %d: %s", name.c_str(), number++, entry.c_str());
    commLog.assign(1, "CommLog cleared");
}
