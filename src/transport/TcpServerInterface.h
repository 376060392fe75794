#pragma once

#include "transport/ClientCensus.h"
#include "transport/FlowGate.h"
#include "transport/Interface.h"
#include "transport/SendQueue.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <atomic>
#include <functional>
#include <mutex>

// How long a client may leave its answers unread (see FlowLimits.h).
struct UnreadLimits {
    std::size_t hard = flowlimits::unreadHardLimit;
    std::size_t soft = flowlimits::unreadSoftLimit;
    std::chrono::milliseconds softTime = flowlimits::unreadSoftTime;
};

// The link of one accepted client connection. It reads only once opened; texts sent before that
// wait and are written after `open`.
//
// Received bytes wait in the link's inbox and reach the protocol in turns: the worker hands over
// one request (up to its NUL) and queues the link's next turn behind everything queued meanwhile,
// so the worker serves the connections in turn, each in its own order. When the peer goes, what
// it sent is still handed over, and then the disconnect command runs; when the link is closed on
// this side, what was not yet handed over is dropped. Either way the disconnect command runs once,
// on the worker, after the last delivery.
//
// Reading pauses while the connection's outstanding bytes (received and not yet handed over, plus
// sent and not yet written) are above the high mark, or while the flow gate is closed to it, and
// goes on once they are below the low mark or none. Turns are held back while the connection's
// unwritten answers are above the high mark, since one short request may be answered with many
// device reports, and while the flow gate holds them (FlowGate.h). A client whose answers stay
// unwritten past the unread limits is disconnected, and so is one whose unfinished request is
// over its share of the budget of all of them.
class TcpServerInterface : public Interface, public FlowGate::Waiter {
public:
    explicit TcpServerInterface(boost::asio::io_context& ioContext, std::shared_ptr<FlowGate> gate = nullptr,
                                UnreadLimits limits = UnreadLimits(), std::shared_ptr<ClientCensus> census = nullptr);
    ~TcpServerInterface() override;

    boost::asio::ip::tcp::socket& acceptSocket() { return socket; }
    // Notes the client's address once accepted, before the link is handed to any other thread.
    void noteAccepted();
    std::string peerAddress() const override { return peerName; }
    // Runs on the event loop, once, when the link closes.
    void setClosedCallback(std::function<void()> callback) { closedCallback = std::move(callback); }

    void close() override;
    void open() override;
    void send(const std::string& data) override;
    bool isConnected() override;
    void gateOpened() override;

    // What the link holds for its client (read by tests; the gate is told every change).
    std::size_t outstandingBytes() const { return outstanding; }

private:
    std::shared_ptr<TcpServerInterface> self();
    void doOpen();
    void doSend(const std::string& data);
    void doClose();
    // Closes the link for a client that goes past a bound, with a log record.
    void disconnectClient(ClientCensus::Cause cause, const std::string& reason);
    void countHeldBack(bool held);
    void startRead();
    void handleRead(const boost::system::error_code& error, std::size_t size);
    // Reads again unless a bound says to wait; event loop only.
    void readOrPause();
    void watchErrorsWhilePaused();
    // The peer has gone: the link closes, and what it sent is still handed over.
    void fail(const std::string& reason);
    void resumeReading();

    // Worker turns. `scheduleTurn` queues one unless one is queued, any thread.
    void scheduleTurn();
    void takeTurn(const std::string& unused);
    void finishTurn();
    // Whether the next turn must wait for room for answers or for the configuration daemon; if
    // so `waiter` is woken when there may be room. Inbox lock held.
    bool turnMustWait(std::weak_ptr<FlowGate::Waiter> waiter);
    // Counts the request's bytes while it is unfinished; true when they are over their share.
    bool overUnfinishedShare(const std::string& request);
    // Takes the next request (up to its NUL, at most a turn's bytes) from the inbox; lock held.
    std::string cutRequestLocked();
    void deliverNow(const std::string& data);
    // Marks the link as receiving no more, dropping the inbox when `dropInbox`; a turn then
    // runs the disconnect command with `reason`.
    void endInput(bool dropInbox, const std::string& reason);

    void startWrite();
    void handleWrite(const boost::system::error_code& error);
    void checkUnreadLimits();
    void take(std::size_t bytes);
    void release(std::size_t bytes);
    void releaseAnswers(std::size_t bytes);

    std::atomic<bool> enabled{false};
    boost::asio::ip::tcp::socket socket;
    SendQueue txQueue;
    std::atomic<bool> connected{true};
    std::array<char, flowlimits::readChunk> rxBuffer{};
    std::shared_ptr<FlowGate> gate;
    const UnreadLimits limits;
    std::atomic<std::size_t> outstanding{0};
    std::atomic<std::size_t> answerBytes{0};
    std::atomic<bool> countedAsClient{false};
    std::string peerName = "unknown";  // written once, before the link is shared
    std::shared_ptr<ClientCensus> census;
    // Why the link closed, for the census; set before the close.
    std::atomic<ClientCensus::Cause> closeCause{ClientCensus::Cause::error};

    // Shared by the event loop, which fills the inbox, and the worker, which empties it.
    std::mutex inboxLock;
    std::string inbox;
    std::size_t inboxStart = 0;  // bytes before this offset have been handed over
    bool turnQueued = false;
    bool inputEnded = false;
    bool disconnectQueued = false;
    std::string endReason;
    // Worker only: the backing up of the configuration daemon's link (FlowGate::backup) during
    // which the last request sent to it; 0 when it did not send or the link was not backed up.
    unsigned long sentDuringBackup = 0;
    std::atomic<std::size_t> unfinished{0};  // bytes handed over since the last NUL

    // Event loop only.
    boost::asio::steady_timer unreadTimer;
    // The soft limit's clock: each time the client is down to the soft limit a new period starts;
    // the timer runs for the period it was armed in.
    unsigned unreadTimerGeneration = 0;
    unsigned unreadTimerArmed = ~0u;
    bool readPaused = false;
    bool countedHeldBack = false;
    bool closeReported = false;
    bool watchingErrors = false;
    std::function<void()> closedCallback;
};
