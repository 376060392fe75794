#pragma once

#include "core/Command.h"
#include "transport/ClientCensus.h"
#include "transport/FlowLimits.h"

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class Protocol;

// A link to one peer. A client link carries raw byte chunks, which its protocol frames; a server
// link hands over whole requests (RequestInbox.h).
// Received bytes reach the protocol through the command queue, or wait until one is set.
class Interface : public std::enable_shared_from_this<Interface> {
public:
    virtual ~Interface() = default;

    virtual void close() = 0;
    virtual void open() = 0;
    virtual void send(const std::string& data) = 0;
    virtual bool isConnected();
    // For a link that has options; only the client link has one, and the daemon never sets it.
    virtual void setOption(int option, int value);
    // Closes the link of a peer that broke a rule of its protocol or a bound; a link that keeps
    // records of its peers says which peer and why. By default it just closes.
    virtual void closeForViolation(ClientCensus::Cause cause, const std::string& reason);
    // The peer's address and port, for log records and reports; empty where a link has none.
    virtual std::string peerAddress() const { return std::string(); }

    // Registers the protocol (or none) and hands it what was buffered so far.
    void setProtocol(Protocol* newProtocol);
    void setDisconnectCommand(std::shared_ptr<Command> command);

    // Hands received bytes to the protocol, or keeps them until one is set: on the worker,
    // and on the event loop (a link calls both for every chunk).
    void deliverData(const std::string& data);
    void deliverDataDirect(const std::string& data);

    void addCommLog(const std::string& text);
    // The recent traffic, oldest first; any thread.
    std::vector<std::string> commLogEntries() const;
    // Writes the recent traffic to the log and empties it (kipd's SIGUSR1 does so for its links).
    void dumpCommLog(int level, const std::string& name);

protected:
    // Hands one received chunk on: directly on this thread, and queued for the worker.
    void queueReceived(const std::string& data);
    // The disconnect command, for the link's end; empty when none was set.
    std::shared_ptr<Command> currentDisconnectCommand() const;

private:
    Protocol* currentProtocol();

    // Set on the worker and read on the event loop for every chunk: atomic, so reading takes no lock.
    std::atomic<Protocol*> protocol{nullptr};
    std::shared_ptr<Command> disconnectCommand;
    std::string pendingData;
    std::string pendingDirectData;
    std::mutex pendingLock;
    std::mutex pendingDirectLock;
    mutable std::mutex disconnectCommandLock;
    std::list<std::string> commLog;
    mutable std::mutex commLogLock;
};
