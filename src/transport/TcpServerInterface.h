#pragma once

#include "transport/FlowGate.h"
#include "transport/Interface.h"
#include "transport/SendQueue.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <array>
#include <atomic>
#include <functional>

// The link of one accepted client connection. It reads only once opened; texts sent
// before that wait and are written after `open`. When the peer goes, the link closes
// itself and queues its disconnect command after every delivery of received data.
//
// Reading pauses while the connection's outstanding bytes (received and not yet handled by the
// worker, plus sent and not yet written) are above the high mark, or while the flow gate of all
// client connections is closed, and goes on below the low mark once the gate is open.
// Requests already received are held back the same way while the connection's unwritten
// answers are above the high mark or the gate is closed, since one short request may be
// answered with many device reports.
class TcpServerInterface : public Interface, public FlowGate::Waiter {
public:
    explicit TcpServerInterface(boost::asio::io_context& ioContext,
                                std::shared_ptr<FlowGate> gate = nullptr);
    ~TcpServerInterface() override;

    boost::asio::ip::tcp::socket& acceptSocket() { return socket; }
    // Runs on the event loop, once, when the link closes.
    void setClosedCallback(std::function<void()> callback) { closedCallback = std::move(callback); }

    void close() override;
    void open() override;
    void send(const std::string& data) override;
    bool isConnected() override;
    void gateOpened() override;

    std::size_t outstandingBytes() const { return outstanding; }

private:
    std::shared_ptr<TcpServerInterface> self();
    void doOpen();
    void doSend(const std::string& data);
    void doClose();
    void startRead();
    void handleRead(const boost::system::error_code& error, std::size_t size);
    // Reads again unless a bound says to wait; event loop only.
    void readOrPause();
    // Closes the link after a read failure and queues the disconnect command, once.
    void fail(const boost::system::error_code& error);
    void resumeReading();
    void deliverCounted(const std::string& data);
    // Hands over the held requests once there is room for their answers; worker only.
    void deliverHeld(const std::string& unused);
    void deliverNow(const std::string& data);
    bool answersMustWait() const;
    // Holds received data until `deliverHeld` runs; worker only.
    void hold();
    void queueDeliverHeld();
    void startWrite();
    void handleWrite(const boost::system::error_code& error);
    void take(std::size_t bytes);
    void release(std::size_t bytes);
    void releaseAnswers(std::size_t bytes);

    std::atomic<bool> enabled{false};
    boost::asio::ip::tcp::socket socket;
    SendQueue txQueue;
    std::atomic<bool> connected{true};
    std::array<char, 1024> rxBuffer{};
    std::shared_ptr<FlowGate> gate;
    std::atomic<std::size_t> outstanding{0};
    std::atomic<std::size_t> answerBytes{0};
    std::atomic<bool> holding{false};
    std::string heldInput;  // worker only
    // Event loop only.
    bool readPaused = false;
    bool closeReported = false;
    bool disconnectQueued = false;
    bool watchingErrors = false;
    std::function<void()> closedCallback;
};
