#include "core/KipController.h"

#include "confclient/ConfClientProtocol.h"
#include "core/CommandSingleton.h"
#include "core/FileLimit.h"
#include "core/StatusReport.h"
#include "core/SummaryPublisher.h"
#include "host/ChangeLog.h"
#include "host/JbpHostProtocol.h"
#include "transport/ClientCensus.h"
#include "transport/FlowGate.h"
#include "transport/StatusListener.h"
#include "transport/TcpServerListener.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/system/system_error.hpp>

#include <malloc.h>
#include <signal.h>
#include <unistd.h>

namespace {
// The level of the links' histories written on SIGUSR1: a notice.
constexpr int historyLevel = 4;
}

KipController::KipController(const std::string& address, int listenPort, int confPort, int confDirectPort)
    : flowGate(std::make_shared<FlowGate>()), census(std::make_shared<ClientCensus>()),
      changeLog(std::make_shared<ChangeLog>()), historySignal(ioService, SIGUSR1)
{
    const std::size_t ceiling = raiseFileLimitForConnections();
    netManager.connect(ioService, address, confPort, confDirectPort, flowGate);
    mainLink = netManager.confClientProtocol()->mainInterface();
    directLink = netManager.confClientProtocol()->directInterface();
    std::shared_ptr<Command> accept = makeCommand(this, &KipController::acceptConnection);
    listener = std::make_shared<TcpServerListener>(ioService, listenPort, accept, flowGate, UnreadLimits(), census);
    listener->setConnectionCeiling(ceiling);
    waitForHistorySignal();
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
    } catch (const boost::system::system_error&) {
        // A link's failed resolution, for one: the link keeps it for the status report.
        ioService.restart();
    } catch (...) {
        // Any other escaped error is dropped; pending handlers run in the next pass.
    }
}

void KipController::serveStatus(const std::string& path)
{
    summaryPublisher = std::make_shared<SummaryPublisher>(ioService, netManager);
    StatusReport::Sources sources;
    sources.mainLink = mainLink;
    sources.directLink = directLink;
    sources.census = census;
    sources.queue = &CommandSingleton::instance();
    sources.system = summaryPublisher;
    sources.changes = changeLog;
    sources.startedAt = startedAt;
    sources.startedSteady = startedSteady;
    auto report = std::make_shared<const StatusReport>(std::move(sources));
    statusListener = StatusListener::open(ioService, path, [report] { return report->text(); });
    if (statusListener)
        summaryPublisher->start();
    else
        summaryPublisher.reset();
}

void KipController::waitForHistorySignal()
{
    historySignal.async_wait([this](const boost::system::error_code& error, int) {
        if (error)
            return;
        dumpLinkHistories();
        waitForHistorySignal();
    });
}

// On the event loop, where the links append their histories.
void KipController::dumpLinkHistories()
{
    if (mainLink)
        mainLink->dumpCommLog(historyLevel, "main");
    if (directLink)
        directLink->dumpCommLog(historyLevel, "direct");
}

void KipController::acceptConnection(const std::string&)
{
    std::shared_ptr<TcpServerInterface> link = listener->takePendingConnection();
    if (!link)
        return;
    auto protocol = std::make_shared<JbpHostProtocol>(link, &netManager, changeLog);
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
