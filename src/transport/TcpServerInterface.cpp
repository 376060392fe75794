#include "transport/TcpServerInterface.h"

#include "core/CommandSingleton.h"
#include "log/Log.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <cstring>
#include <utility>

using boost::asio::ip::tcp;

namespace {
// Whether a count that went down by `step` to `after` has just reached or passed below `mark`.
bool crossedBelow(std::size_t after, std::size_t step, std::size_t mark)
{
    return after == 0 || (after < mark && after + step >= mark);
}
}  // namespace

TcpServerInterface::TcpServerInterface(boost::asio::io_context& ioContext, std::shared_ptr<FlowGate> gate,
                                       UnreadLimits limits, std::shared_ptr<ClientCensus> census)
    : socket(ioContext), gate(std::move(gate)), limits(limits), census(std::move(census)), unreadTimer(ioContext)
{
}

// What is still counted (a queue never written, an inbox never handed over) goes back to the gate.
TcpServerInterface::~TcpServerInterface()
{
    if (!gate)
        return;
    if (outstanding > 0)
        gate->changeHostBytes(-static_cast<std::ptrdiff_t>(outstanding.load()));
    if (answerBytes > 0)
        gate->changeAnswerBytes(-static_cast<std::ptrdiff_t>(answerBytes.load()));
    if (countedAsClient)
        gate->changeClients(-1);
    if (unfinished > 0)
        gate->changeUnfinishedBytes(-static_cast<std::ptrdiff_t>(unfinished.load()));
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
    if (crossedBelow(after, bytes, flowlimits::connectionLowMark))
        boost::asio::post(socket.get_executor(), [self = self()] { self->resumeReading(); });
}

// Socket work always runs on the event loop, whichever thread asked for it.
void TcpServerInterface::close()
{
    enabled = false;
    connected = false;
    endInput(true, boost::system::error_code(boost::asio::error::operation_aborted).message());
    boost::asio::post(socket.get_executor(), [self = self()] { self->doClose(); });
}

void TcpServerInterface::doClose()
{
    ++unreadTimerGeneration;
    unreadTimer.cancel();
    releaseAnswers(txQueue.clear());
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    if (gate && countedAsClient.exchange(false))
        gate->changeClients(-1);
    countHeldBack(false);
    if (closeReported)
        return;
    closeReported = true;
    if (census)
        census->closed(closeCause);
    if (closedCallback)
        closedCallback();
}

void TcpServerInterface::noteAccepted()
{
    boost::system::error_code error;
    const tcp::endpoint peer = socket.remote_endpoint(error);
    if (!error)
        peerName = peer.address().to_string() + ":" + std::to_string(peer.port());
}

void TcpServerInterface::open()
{
    enabled = true;
    if (gate && !countedAsClient.exchange(true))
        gate->changeClients(1);
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
    checkUnreadLimits();
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
    if (error || !connected) {  // what comes after a close on this side is not handed over
        if (error && connected)
            fail(error.message());
        return;
    }
    std::string data(rxBuffer.data(), size);
    deliverDataDirect(data);
    take(size);
    {
        std::lock_guard<std::mutex> guard(inboxLock);
        inbox += data;
    }
    scheduleTurn();
    readOrPause();
}

void TcpServerInterface::fail(const std::string& reason)
{
    closeCause = reason == boost::system::error_code(boost::asio::error::eof).message() ||
                         reason == boost::system::error_code(boost::asio::error::connection_reset).message()
                     ? ClientCensus::Cause::peerClosed
                     : ClientCensus::Cause::error;
    connected = false;
    enabled = false;
    doClose();
    endInput(false, reason);
}

void TcpServerInterface::readOrPause()
{
    const bool paused =
        outstanding > flowlimits::connectionHighMark ||  // a release down to the low mark resumes
        (gate && gate->wait(outstanding, std::static_pointer_cast<FlowGate::Waiter>(self())));
    countHeldBack(paused);
    if (!paused) {
        readPaused = false;
        startRead();
        return;
    }
    readPaused = true;
    watchErrorsWhilePaused();
}

// A client that leaves while not read is still noticed (its close resets the connection).
void TcpServerInterface::watchErrorsWhilePaused()
{
    if (watchingErrors)
        return;
    watchingErrors = true;
    socket.async_wait(tcp::socket::wait_error, [self = self()](const boost::system::error_code& e) {
        self->watchingErrors = false;
        if (!e && self->readPaused && self->connected)
            self->fail(boost::system::error_code(boost::asio::error::connection_reset).message());
    });
}

void TcpServerInterface::resumeReading()
{
    scheduleTurn();
    if (readPaused && connected)
        readOrPause();
}

void TcpServerInterface::gateOpened()
{
    boost::asio::post(socket.get_executor(), [self = self()] { self->resumeReading(); });
}

void TcpServerInterface::endInput(bool dropInbox, const std::string& reason)
{
    std::size_t dropped = 0;
    {
        std::lock_guard<std::mutex> guard(inboxLock);
        if (dropInbox) {
            dropped = inbox.size() - inboxStart;
            std::string().swap(inbox);
            inboxStart = 0;
        }
        if (!inputEnded) {
            inputEnded = true;
            endReason = reason;
        }
    }
    release(dropped);
    scheduleTurn();
}

void TcpServerInterface::scheduleTurn()
{
    {
        std::lock_guard<std::mutex> guard(inboxLock);
        const bool due = inboxStart < inbox.size() || (inputEnded && !disconnectQueued);
        if (turnQueued || !due)
            return;
        turnQueued = true;
    }
    CommandSingleton::instance().enqueue(
        std::make_shared<SharedCommand<TcpServerInterface>>(self(), &TcpServerInterface::takeTurn), std::string());
}

// A request held back (turnMustWait) stays in the inbox with all that follows it, in order,
// until whoever makes room queues the next turn; the client meanwhile is read up to its high mark.
void TcpServerInterface::takeTurn(const std::string&)
{
    std::string request;
    std::shared_ptr<Command> disconnect;
    std::string reason;
    {
        std::lock_guard<std::mutex> guard(inboxLock);
        const bool waiting = inboxStart < inbox.size();
        if (waiting && (inputEnded || !turnMustWait(std::static_pointer_cast<FlowGate::Waiter>(self())))) {
            request = cutRequestLocked();
        } else {
            turnQueued = false;
            if (!waiting && inputEnded && !std::exchange(disconnectQueued, true)) {
                disconnect = currentDisconnectCommand();
                reason = endReason;
            }
        }
    }
    // Run at once rather than queued, so the disconnect takes the place in the queue of the turn
    // that found the end.
    if (disconnect)
        disconnect->execute(reason);
    if (request.empty())
        return;
    // The next turn is queued even when the protocol throws, so the connection is not stranded.
    struct NextTurn {
        TcpServerInterface* link;
        ~NextTurn() { link->finishTurn(); }
    } next{this};
    if (overUnfinishedShare(request)) {
        release(request.size());
        disconnectClient(ClientCensus::Cause::requestBudget, "an unfinished request of " + std::to_string(unfinished) +
                         " bytes while those of all clients are over their budget");
        return;
    }
    const unsigned long linkSends = gate ? gate->linkSendCount() : 0;
    deliverNow(request);
    sentDuringBackup = gate && gate->linkSendCount() != linkSends ? gate->backup() : 0;
}

bool TcpServerInterface::overUnfinishedShare(const std::string& request)
{
    const std::size_t before = unfinished;
    const std::size_t after = request.back() == '\0' ? 0 : before + request.size();
    unfinished = after;
    return gate && gate->changeUnfinishedBytes(static_cast<std::ptrdiff_t>(after - before), after);
}

// Whoever makes room next (a write, the gate) schedules a turn; room made while the waiter was
// being registered is seen by the check after it.
bool TcpServerInterface::turnMustWait(std::weak_ptr<FlowGate::Waiter> waiter)
{
    if (answerBytes > flowlimits::connectionHighMark)
        return true;
    if (!gate || !gate->holdTurns(answerBytes, sentDuringBackup, std::move(waiter)))
        return false;
    if (!gate->holdTurns(answerBytes, sentDuringBackup))
        boost::asio::post(socket.get_executor(), [self = self()] { self->scheduleTurn(); });
    return true;
}

void TcpServerInterface::finishTurn()
{
    {
        std::lock_guard<std::mutex> guard(inboxLock);
        turnQueued = false;
    }
    scheduleTurn();
}

std::string TcpServerInterface::cutRequestLocked()
{
    const char* begin = inbox.data() + inboxStart;
    const std::size_t available = std::min(inbox.size() - inboxStart, flowlimits::turnLimit);
    const void* nul = std::memchr(begin, '\0', available);
    const std::size_t size = nul ? static_cast<const char*>(nul) - begin + 1 : available;
    std::string request(begin, size);
    inboxStart += size;
    if (inboxStart == inbox.size()) {
        std::string().swap(inbox);  // an idle connection keeps no buffer
        inboxStart = 0;
    } else if (inboxStart >= flowlimits::turnLimit && inboxStart * 2 >= inbox.size()) {
        inbox.erase(0, inboxStart);
        inboxStart = 0;
    }
    return request;
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

void TcpServerInterface::releaseAnswers(std::size_t bytes)
{
    if (bytes == 0)
        return;
    const std::size_t after = answerBytes -= bytes;
    if (gate)
        gate->changeAnswerBytes(-static_cast<std::ptrdiff_t>(bytes));
    release(bytes);
    if (crossedBelow(after, bytes, flowlimits::connectionLowMark))
        scheduleTurn();
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
    if (txQueue.bytes() <= limits.soft)
        ++unreadTimerGeneration;  // the client reads again: the soft limit's clock stops
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

void TcpServerInterface::checkUnreadLimits()
{
    const std::size_t unread = txQueue.bytes();
    if (unread > limits.hard) {
        disconnectClient(ClientCensus::Cause::unreadAnswers, "more than " + std::to_string(limits.hard) + " bytes of answers unread");
        return;
    }
    if (unread <= limits.soft || unreadTimerArmed == unreadTimerGeneration)
        return;
    unreadTimerArmed = unreadTimerGeneration;
    unreadTimer.expires_after(limits.softTime);
    unreadTimer.async_wait([self = self(), generation = unreadTimerGeneration](const boost::system::error_code& e) {
        if (e || generation != self->unreadTimerGeneration || !self->connected)
            return;
        self->disconnectClient(ClientCensus::Cause::unreadAnswers, "more than " + std::to_string(self->limits.soft) + " bytes of answers unread for " +
                               std::to_string(self->limits.softTime.count()) + " ms");
    });
}

void TcpServerInterface::disconnectClient(ClientCensus::Cause cause, const std::string& reason)
{
    closeCause = cause;
    log(3, "Client %s disconnected: %s", peerName.c_str(), reason.c_str());
    close();
}

// Event loop only: counted once while the connection is held back.
void TcpServerInterface::countHeldBack(bool held)
{
    if (held == countedHeldBack)
        return;
    countedHeldBack = held;
    if (census)
        census->heldBack(held);
}
