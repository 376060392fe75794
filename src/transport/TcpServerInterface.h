#pragma once

#include "transport/ClientAccount.h"
#include "transport/ClientCensus.h"
#include "transport/FlowGate.h"
#include "transport/Interface.h"
#include "transport/RequestInbox.h"
#include "transport/SendQueue.h"
#include "transport/UnreadWatch.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <atomic>
#include <functional>
#include <mutex>

// The link of one accepted client connection: its socket, read and written on the event loop.
// It reads only once opened; texts sent before that wait and are written after `open`.
//
// What it reads goes to its inbox (RequestInbox.h), which decides when the worker hands the
// requests over; what it holds is counted by its account (ClientAccount.h), which says when it
// must stop reading and when its requests must wait. A client that stops reading its answers is
// disconnected by its unread watch (UnreadWatch.h), and one over its share of unfinished requests
// at once, each with a level-3 record naming the client; one that sends an over-long request is
// closed with the level-2 record of the framer's bound. The census counts each by its cause.
class TcpServerInterface : public Interface, public FlowGate::Waiter, private RequestInbox::Link {
public:
    explicit TcpServerInterface(boost::asio::io_context& ioContext, std::shared_ptr<FlowGate> gate = nullptr,
                                UnreadLimits limits = UnreadLimits(), std::shared_ptr<ClientCensus> census = nullptr);

    boost::asio::ip::tcp::socket& acceptSocket() { return socket; }
    // Notes the client's address once accepted, before the link is handed to any other thread.
    void noteAccepted();
    std::string peerAddress() const override { return peerName; }
    // Runs on the event loop, once, when the link closes.
    void setClosedCallback(std::function<void()> callback) { closedCallback = std::move(callback); }

    void close() override;
    void closeForViolation(ClientCensus::Cause cause, const std::string& reason) override;
    void open() override;
    void send(const std::string& data) override;
    bool isConnected() override;
    void gateOpened() override;

    // Event loop: some of the answers being written have left (the client reads).
    void noteDrained();

    // What the link holds for its client; for tests.
    std::size_t outstandingBytes() const { return account.outstanding(); }
    std::size_t unfinishedBytes() const { return account.unfinished(); }

private:
    std::shared_ptr<TcpServerInterface> self();
    void doOpen();
    void doSend(const std::string& data);
    void doClose();
    void startRead();
    void handleRead(const boost::system::error_code& error, std::size_t size);
    // Reads again unless the account says to wait; event loop only.
    void readOrPause();
    void watchErrorsWhilePaused();
    void resumeReading();
    // The peer has gone: the link closes, and what it sent is still handed over.
    void fail(const boost::system::error_code& error);
    void startWrite();
    void handleWrite(const boost::system::error_code& error);
    void answersGone(std::size_t bytes);
    void watchUnread();
    void checkUnread(unsigned generation);
    // Counts the connection once in the census while its reading or its requests wait, until
    // it closes.
    void countHold(bool started);
    void releaseHolds();

    // The inbox's link.
    void queueRead() override;
    void queueTurn() override;
    void queueEnd() override;
    bool mayQueue(std::size_t waiting, std::size_t adding) override;
    bool mustWait() override;
    unsigned turnsBehind() override;
    bool othersWaiting() override;
    void holdChanged(bool held) override;
    void handOver(const std::string& requests) override;
    void runDisconnect(const std::string& reason) override;
    void takeRead(const std::string&) { inbox.runRead(); }
    void takeTurn(const std::string&) { inbox.runTurn(); }
    void takeEnd(const std::string&) { inbox.runEnd(); }

    std::atomic<bool> enabled{false};
    boost::asio::ip::tcp::socket socket;
    SendQueue txQueue;
    std::atomic<bool> connected{true};
    std::array<char, flowlimits::readChunk> rxBuffer{};
    std::shared_ptr<FlowGate> gate;
    ClientAccount account;
    RequestInbox inbox;
    std::shared_ptr<ClientCensus> census;
    std::string peerName = "unknown";  // written once, before the link is shared
    // Why the link closed, for the census; set before the close.
    std::atomic<ClientCensus::Cause> closeCause{ClientCensus::Cause::error};
    std::mutex holdLock;
    int holds = 0;  // reading paused, requests held: each counts one
    bool holdsReleased = false;

    // Event loop only.
    UnreadWatch unread;
    boost::asio::steady_timer unreadTimer;
    unsigned unreadTimerGeneration = 0;
    bool unreadTimerArmed = false;
    bool readPaused = false;
    bool closeReported = false;
    bool watchingErrors = false;
    std::function<void()> closedCallback;
};
