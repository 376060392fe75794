#include "core/KipController.h"

#include "core/FileLimit.h"
#include "host/JbpHostProtocol.h"
#include "log/Log.h"
#include "transport/ClientCensus.h"
#include "transport/FlowGate.h"
#include "transport/TcpServerListener.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/system/system_error.hpp>

#include <malloc.h>
#include <unistd.h>

KipController::KipController(const std::string& address, int listenPort, int confPort, int confDirectPort)
    : flowGate(std::make_shared<FlowGate>()), census(std::make_shared<ClientCensus>())
{
    const std::size_t ceiling = raiseFileLimitForConnections();
    netManager.connect(ioService, address, confPort, confDirectPort, flowGate);
    std::shared_ptr<Command> accept = makeCommand(this, &KipController::acceptConnection);
    listener = std::make_shared<TcpServerListener>(ioService, listenPort, accept, flowGate, UnreadLimits(), census);
    listener->setConnectionCeiling(ceiling);
}

KipController::~KipController() = default;

int KipController::listeningPort() const { return listener->localPort(); }

void KipController::run()
{
    for (;;) {
        runOnce();
        ::sleep(1);
    }
}

void KipController::runOnce()
{
    auto work = boost::asio::make_work_guard(ioService);
    try {
        ioService.run();
    } catch (const boost::system::system_error& error) {
        noteEscapedError(error.what());
        ioService.restart();
    } catch (...) {
        // Any other escaped error is dropped; pending handlers run in the next pass.
    }
}

// An escaped error is recorded once, not on every retry: a configuration daemon's host that
// cannot be resolved would otherwise fill the log every second.
void KipController::noteEscapedError(const std::string& text)
{
    if (text == lastEscapedError)
        return;
    lastEscapedError = text;
    log(3, "Event loop error: %s", text.c_str());
}

void KipController::acceptConnection(const std::string&)
{
    std::shared_ptr<TcpServerInterface> link = listener->takePendingConnection();
    if (!link)
        return;
    auto protocol = std::make_shared<JbpHostProtocol>(link, &netManager);
    link->setProtocol(protocol.get());
    link->setDisconnectCommand(makeCommand<JbpHostProtocol>(protocol.get(), &JbpHostProtocol::handleClosed));
    protocol->setCloseCommand(makeCommand(this, &KipController::purgeClosedConnections));
    link->open();
    connections.push_back(protocol);
}

// The last client gone, the memory that the connections' buffers took at their peak goes back
// to the system; the allocator would otherwise keep it for good.
void KipController::purgeClosedConnections(const std::string&)
{
    const std::size_t before = connections.size();
    connections.remove_if([](const std::shared_ptr<JbpHostProtocol>& protocol) { return !protocol->isConnected(); });
    if (connections.empty() && before > 0)
        ::malloc_trim(0);
}
