#include "transport/TcpServerInterface.h"

#include "core/CommandSingleton.h"
#include "log/Log.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <utility>

using boost::asio::ip::tcp;

namespace {
const char* const requestTooLongLog = "Host request longer than %zu bytes: connection closed";

std::string errorText(boost::asio::error::basic_errors error)
{
    return boost::system::error_code(error).message();
}

// Writes every byte, like transfer_all, and tells `link` each time some have left: the client
// drains its answers.
template <class Link>
struct DrainNoted {
    Link* link;
    std::size_t noted = 0;
    std::size_t operator()(const boost::system::error_code& error, std::size_t written)
    {
        if (written > noted) {
            noted = written;
            link->noteDrained();
        }
        return error ? 0 : 64 * 1024;  // bytes per system call, as transfer_all
    }
};
}  // namespace

TcpServerInterface::TcpServerInterface(boost::asio::io_context& ioContext, std::shared_ptr<FlowGate> gate,
                                       UnreadLimits limits, std::shared_ptr<ClientCensus> census)
    : socket(ioContext), gate(gate), account(std::move(gate)), inbox(*this), census(std::move(census)),
      unread(limits), unreadTimer(ioContext)
{
}

std::shared_ptr<TcpServerInterface> TcpServerInterface::self()
{
    return std::static_pointer_cast<TcpServerInterface>(shared_from_this());
}

bool TcpServerInterface::isConnected() { return connected; }

void TcpServerInterface::noteAccepted()
{
    boost::system::error_code error;
    const tcp::endpoint peer = socket.remote_endpoint(error);
    if (!error)
        peerName = peer.address().to_string() + ":" + std::to_string(peer.port());
}

// Socket work always runs on the event loop, whichever thread asked for it.
void TcpServerInterface::close()
{
    enabled = false;
    connected = false;
    account.requestsGone(inbox.end(errorText(boost::asio::error::operation_aborted), true));
    account.unfinishedIs(0);
    boost::asio::post(socket.get_executor(), [self = self()] { self->doClose(); });
}

void TcpServerInterface::closeForViolation(ClientCensus::Cause cause, const std::string& reason)
{
    if (!connected)
        return;
    closeCause = cause;
    log(3, "Client %s disconnected: %s", peerName.c_str(), reason.c_str());
    close();
}

void TcpServerInterface::doClose()
{
    ++unreadTimerGeneration;
    unreadTimer.cancel();
    answersGone(txQueue.clear());
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    account.leave();
    releaseHolds();
    if (closeReported)
        return;
    closeReported = true;
    if (census)
        census->closed(closeCause);
    if (closedCallback)
        closedCallback();
}

void TcpServerInterface::open()
{
    enabled = true;
    account.join();
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
    account.answersQueued(data.size());
    boost::asio::post(socket.get_executor(), [self = self(), data] { self->doSend(data); });
}

void TcpServerInterface::doSend(const std::string& data)
{
    if (!connected) {
        answersGone(data.size());
        return;
    }
    txQueue.push(data);
    watchUnread();
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
            fail(error);
        return;
    }
    std::string data(rxBuffer.data(), size);
    deliverDataDirect(data);
    const RequestInbox::Received received = inbox.receive(data);
    account.requestsRead(received.whole);
    if (received.overflowed) {
        log(2, requestTooLongLog, NulFramer::pendingLimit);
        closeCause = ClientCensus::Cause::overLongRequest;
        close();
        return;
    }
    if (account.unfinishedIs(received.unfinished)) {
        closeForViolation(ClientCensus::Cause::requestBudget,
                          "an unfinished request of " + std::to_string(received.unfinished) +
                              " bytes while those of all clients are over their budget");
        return;
    }
    readOrPause();
}

void TcpServerInterface::fail(const boost::system::error_code& error)
{
    const bool peerLeft = error == boost::asio::error::eof || error == boost::asio::error::connection_reset;
    closeCause = peerLeft ? ClientCensus::Cause::peerClosed : ClientCensus::Cause::error;
    inbox.end(error.message(), false);  // queued before the link shows as closed
    connected = false;
    enabled = false;
    doClose();
    account.unfinishedIs(0);
}

void TcpServerInterface::readOrPause()
{
    const bool pause = account.readingMustWait(std::static_pointer_cast<FlowGate::Waiter>(self()));
    if (pause != readPaused)
        countHold(pause);
    readPaused = pause;
    if (!pause) {
        startRead();
        return;
    }
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
            self->fail(boost::asio::error::connection_reset);
    });
}

void TcpServerInterface::resumeReading()
{
    if (readPaused && connected)
        readOrPause();
}

// The gate may have room for the reading and for the requests alike.
void TcpServerInterface::gateOpened()
{
    inbox.wake();
    boost::asio::post(socket.get_executor(), [self = self()] { self->resumeReading(); });
}

void TcpServerInterface::countHold(bool started)
{
    std::lock_guard<std::mutex> guard(holdLock);
    if (holdsReleased)
        return;
    holds += started ? 1 : -1;
    if (census && holds == (started ? 1 : 0))
        census->heldBack(started);
}

void TcpServerInterface::releaseHolds()
{
    std::lock_guard<std::mutex> guard(holdLock);
    if (census && !holdsReleased && holds > 0)
        census->heldBack(false);
    holdsReleased = true;
}

void TcpServerInterface::queueRead()
{
    CommandSingleton::instance().enqueue(
        std::make_shared<SharedCommand<TcpServerInterface>>(self(), &TcpServerInterface::takeRead), std::string());
}

void TcpServerInterface::queueTurn()
{
    CommandSingleton::instance().enqueue(
        std::make_shared<SharedCommand<TcpServerInterface>>(self(), &TcpServerInterface::takeTurn), std::string());
}

void TcpServerInterface::queueEnd()
{
    CommandSingleton::instance().enqueue(
        std::make_shared<SharedCommand<TcpServerInterface>>(self(), &TcpServerInterface::takeEnd), std::string());
}

bool TcpServerInterface::mayQueue(std::size_t waiting, std::size_t adding)
{
    return waiting + adding <= (gate ? gate->queueShare() : flowlimits::queuedRequestsBudget);
}

bool TcpServerInterface::mustWait() { return account.requestsMustWait(std::static_pointer_cast<FlowGate::Waiter>(self())); }

unsigned TcpServerInterface::turnsBehind() { return gate ? gate->nextTurnsBehind() : 0; }

bool TcpServerInterface::othersWaiting()
{
    return CommandSingleton::instance().waitingEntries() >= flowlimits::heldCrowdSpread;
}

void TcpServerInterface::holdChanged(bool held) { countHold(held); }

// The bytes are given back even when the protocol throws.
void TcpServerInterface::handOver(const std::string& requests)
{
    struct GiveBack {
        TcpServerInterface* link;
        std::size_t bytes;
        unsigned long daemonSends;
        ~GiveBack()
        {
            link->account.handedOver(daemonSends);
            if (link->account.requestsGone(bytes))
                boost::asio::post(link->socket.get_executor(), [self = link->self()] { self->resumeReading(); });
        }
    } giveBack{this, requests.size(), account.daemonSends()};
    deliverData(requests);
}

// Run at once rather than queued, so the disconnect takes the place in the queue of the entry
// that found the end.
void TcpServerInterface::runDisconnect(const std::string& reason)
{
    if (std::shared_ptr<Command> disconnect = currentDisconnectCommand())
        disconnect->execute(reason);
}

// Every text queued so far goes out in one gathered write, so a burst of replies (device
// reports) costs one system call instead of one each; the bytes and their order are the same.
void TcpServerInterface::startWrite()
{
    boost::asio::async_write(socket, txQueue.startWrite(), DrainNoted<TcpServerInterface>{this},
        [self = self()](const boost::system::error_code& e, std::size_t) { self->handleWrite(e); });
}

void TcpServerInterface::handleWrite(const boost::system::error_code& error)
{
    if (!connected)
        return;
    answersGone(txQueue.completeWrite());
    watchUnread();
    if (!error && !txQueue.empty()) {
        startWrite();
        return;
    }
    // Nothing more can be written: what waits is dropped, and the read side notices the end.
    if (error) {
        answersGone(txQueue.clear());
        resumeReading();
    }
}

void TcpServerInterface::answersGone(std::size_t bytes)
{
    const ClientAccount::Eased eased = account.answersGone(bytes);
    if (eased.requests)
        inbox.wake();
    if (eased.reading)
        resumeReading();
}

void TcpServerInterface::noteDrained() { unread.drained(UnreadWatch::Clock::now()); }

// The timer runs while a deadline is set; one that finds the client has read meanwhile looks
// again at the new deadline.
void TcpServerInterface::watchUnread()
{
    unread.waiting(txQueue.bytes(), UnreadWatch::Clock::now());
    const boost::optional<UnreadWatch::Clock::time_point> deadline = unread.deadline();
    if (!deadline || (unreadTimerArmed && unreadTimer.expiry() <= *deadline))
        return;
    unreadTimerArmed = true;
    unreadTimer.expires_at(*deadline);
    unreadTimer.async_wait([self = self(), generation = ++unreadTimerGeneration](const boost::system::error_code& e) {
        if (!e)
            self->checkUnread(generation);
    });
}

void TcpServerInterface::checkUnread(unsigned generation)
{
    if (generation != unreadTimerGeneration || !connected)
        return;
    unreadTimerArmed = false;
    if (boost::optional<std::string> breach = unread.breach(UnreadWatch::Clock::now())) {
        closeForViolation(ClientCensus::Cause::unreadAnswers, *breach);
        return;
    }
    watchUnread();
}
