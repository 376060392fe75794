#include "transport/TcpServerInterface.h"

#include "core/CommandSingleton.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>

using boost::asio::ip::tcp;

TcpServerInterface::TcpServerInterface(boost::asio::io_context& ioContext, std::shared_ptr<FlowGate> gate)
    : socket(ioContext), gate(std::move(gate))
{
}

// What is still counted (a queue never written, deliveries never run) goes back to the gate.
TcpServerInterface::~TcpServerInterface()
{
    if (gate && outstanding > 0)
        gate->changeHostBytes(-static_cast<std::ptrdiff_t>(outstanding.load()));
    if (gate && answerBytes > 0)
        gate->changeAnswerBytes(-static_cast<std::ptrdiff_t>(answerBytes.load()));
}

std::shared_ptr<TcpServerInterface> TcpServerInterface::self()
{
    return std::static_pointer_cast<TcpServerInterface>(shared_from_this());
}

bool TcpServerInterface::isConnected() { return connected; }

void TcpServerInterface::take(std::size_t bytes)
{
    outstanding += bytes;
    if (gate)
        gate->changeHostBytes(static_cast<std::ptrdiff_t>(bytes));
}

void TcpServerInterface::release(std::size_t bytes)
{
    if (bytes == 0)
        return;
    const std::size_t after = outstanding -= bytes;
    if (gate)
        gate->changeHostBytes(-static_cast<std::ptrdiff_t>(bytes));
    if (after < flowlimits::connectionLowMark && after + bytes >= flowlimits::connectionLowMark)
        boost::asio::post(socket.get_executor(), [self = self()] { self->resumeReading(); });
}

// Socket work always runs on the event loop, whichever thread asked for it.
void TcpServerInterface::close()
{
    enabled = false;
    connected = false;
    boost::asio::post(socket.get_executor(), [self = self()] { self->doClose(); });
}

void TcpServerInterface::doClose()
{
    releaseAnswers(txQueue.clear());
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    if (!closeReported && closedCallback) {
        closeReported = true;
        closedCallback();
    }
}

void TcpServerInterface::open()
{
    enabled = true;
    boost::asio::post(socket.get_executor(), [self = self()] { self->doOpen(); });
}

void TcpServerInterface::doOpen()
{
    if (!connected)
        return;
    if (!txQueue.empty())
        startWrite();
    startRead();
}

void TcpServerInterface::send(const std::string& data)
{
    answerBytes += data.size();
    if (gate)
        gate->changeAnswerBytes(static_cast<std::ptrdiff_t>(data.size()));
    take(data.size());
    boost::asio::post(socket.get_executor(), [self = self(), data] { self->doSend(data); });
}

void TcpServerInterface::doSend(const std::string& data)
{
    if (!connected) {
        releaseAnswers(data.size());
        return;
    }
    txQueue.push(data);
    if (!enabled || txQueue.size() > 1)
        return;
    startWrite();
}

void TcpServerInterface::startRead()
{
    socket.async_read_some(boost::asio::buffer(rxBuffer),
        [self = self()](const boost::system::error_code& e, std::size_t n) { self->handleRead(e, n); });
}

void TcpServerInterface::handleRead(const boost::system::error_code& error, std::size_t size)
{
    if (error) {
        fail(error);
        return;
    }
    std::string data(rxBuffer.data(), size);
    deliverDataDirect(data);
    take(size);
    // The queued delivery keeps the link alive until the worker has handed the bytes over.
    CommandSingleton::instance().enqueue(
        std::make_shared<SharedCommand<TcpServerInterface>>(self(), &TcpServerInterface::deliverCounted), data);
    readOrPause();
}

void TcpServerInterface::fail(const boost::system::error_code& error)
{
    connected = false;
    enabled = false;
    doClose();
    if (disconnectQueued)
        return;
    disconnectQueued = true;
    if (std::shared_ptr<Command> command = currentDisconnectCommand())
        CommandSingleton::instance().enqueue(command, error.message());
}

void TcpServerInterface::readOrPause()
{
    const bool paused = outstanding > flowlimits::connectionHighMark ||  // a release crossing the low mark resumes
                        (gate && gate->wait(std::static_pointer_cast<FlowGate::Waiter>(self())));
    if (!paused) {
        readPaused = false;
        startRead();
        return;
    }
    readPaused = true;
    // A client that leaves while not read is still noticed (its close resets the connection).
    if (!watchingErrors) {
        watchingErrors = true;
        socket.async_wait(tcp::socket::wait_error, [self = self()](const boost::system::error_code& e) {
            self->watchingErrors = false;
            if (!e && self->readPaused && self->connected)
                self->fail(boost::asio::error::connection_reset);
        });
    }
}

void TcpServerInterface::resumeReading()
{
    if (holding)
        queueDeliverHeld();
    if (readPaused && connected)
        readOrPause();
}

void TcpServerInterface::gateOpened()
{
    boost::asio::post(socket.get_executor(), [self = self()] { self->resumeReading(); });
}

void TcpServerInterface::releaseAnswers(std::size_t bytes)
{
    if (bytes == 0)
        return;
    const std::size_t after = answerBytes -= bytes;
    if (gate)
        gate->changeAnswerBytes(-static_cast<std::ptrdiff_t>(bytes));
    release(bytes);
    if (holding && after < flowlimits::connectionLowMark && after + bytes >= flowlimits::connectionLowMark)
        queueDeliverHeld();
}

bool TcpServerInterface::answersMustWait() const
{
    return answerBytes > flowlimits::connectionHighMark || (gate && gate->answersOverMark());
}

void TcpServerInterface::deliverCounted(const std::string& data)
{
    if (holding || answersMustWait()) {
        heldInput += data;
        if (!holding)
            hold();
        return;
    }
    deliverNow(data);
}

void TcpServerInterface::deliverHeld(const std::string&)
{
    if (!holding)
        return;
    if (answersMustWait()) {
        hold();
        return;
    }
    // A slice at a time, as reads come, so that one slice's answers are checked before the next.
    const std::size_t size = std::min(heldInput.size(), rxBuffer.size());
    std::string data = heldInput.substr(0, size);
    heldInput.erase(0, size);
    if (heldInput.empty())
        holding = false;
    else
        queueDeliverHeld();
    deliverNow(data);
}

// Whoever makes room next (a write, the gate) queues `deliverHeld`; room made while the flag
// was being set is seen by the check after it.
void TcpServerInterface::hold()
{
    holding = true;
    if (gate)
        gate->waitForAnswerRoom(std::static_pointer_cast<FlowGate::Waiter>(self()));
    if (!answersMustWait())
        queueDeliverHeld();
}

void TcpServerInterface::queueDeliverHeld()
{
    CommandSingleton::instance().enqueue(
        std::make_shared<SharedCommand<TcpServerInterface>>(self(), &TcpServerInterface::deliverHeld), std::string());
}

void TcpServerInterface::deliverNow(const std::string& data)
{
    struct Release {
        TcpServerInterface* link;
        std::size_t bytes;
        ~Release() { link->release(bytes); }
    } released{this, data.size()};
    deliverData(data);
}

// Every text queued so far goes out in one gathered write, so a burst of replies (device
// reports) costs one system call instead of one each; the bytes and their order are the same.
void TcpServerInterface::startWrite()
{
    boost::asio::async_write(socket, txQueue.startWrite(),
        [self = self()](const boost::system::error_code& e, std::size_t) { self->handleWrite(e); });
}

void TcpServerInterface::handleWrite(const boost::system::error_code& error)
{
    if (!connected)
        return;
    releaseAnswers(txQueue.completeWrite());
    if (!error && !txQueue.empty()) {
        startWrite();
        return;
    }
    // Nothing more can be written: what waits is dropped, and the read side notices the end.
    if (error) {
        releaseAnswers(txQueue.clear());
        resumeReading();
    }
}
