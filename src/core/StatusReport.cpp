#include "core/StatusReport.h"

#include "core/CommandSingleton.h"
#include "core/JsonWriter.h"
#include "core/ProcessMemory.h"
#include "core/SummaryPublisher.h"
#include "host/ChangeLog.h"
#include "transport/ClientCensus.h"
#include "transport/TcpClientInterface.h"

#include <unistd.h>

namespace {
constexpr int schemaVersion = 1;

double epochSeconds(std::chrono::system_clock::time_point time)
{
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

boost::optional<double> epochSeconds(const boost::optional<std::chrono::system_clock::time_point>& time)
{
    return time ? boost::optional<double>(epochSeconds(*time)) : boost::none;
}

template <class Duration>
double seconds(Duration duration)
{
    return std::chrono::duration<double>(duration).count();
}
}  // namespace

std::string StatusReport::text() const
{
    JsonWriter out;
    out.beginObject()
        .member("version", KIPD_VERSION)
        .member("schema", schemaVersion)
        .member("pid", static_cast<long>(::getpid()))
        .member("started_at", epochSeconds(sources.startedAt))
        .member("uptime_seconds", seconds(std::chrono::steady_clock::now() - sources.startedSteady));
    out.key("links").beginObject();
    writeLink(out, "main", sources.mainLink.get());
    writeLink(out, "direct", sources.directLink.get());
    out.endObject();
    writeClients(out);
    writeQueue(out);
    writeSystem(out);
    writeChanges(out);
    writeMemory(out);
    return out.endObject().text();
}

void StatusReport::writeLink(JsonWriter& out, const std::string& name, TcpClientInterface* link) const
{
    out.key(name);
    if (!link) {
        out.null();
        return;
    }
    const LinkHealth::Figures health = link->health();
    out.beginObject()
        .member("address", link->currentHost())
        .member("port", link->currentPort())
        .member("connected", health.connected)
        .member("since", epochSeconds(health.since))
        .member("reconnects", health.reconnects)
        .member("messages_sent", health.messagesSent)
        .member("bytes_sent", health.bytesSent)
        .member("messages_received", health.messagesReceived)
        .member("bytes_received", health.bytesReceived)
        .member("last_error", health.lastError.empty() ? boost::none : boost::optional<std::string>(health.lastError))
        .member("last_error_at", epochSeconds(health.lastErrorAt));
    out.key("history").beginArray();
    for (const std::string& entry : link->commLogEntries())
        out.value(entry);
    out.endArray().endObject();
}

void StatusReport::writeClients(JsonWriter& out) const
{
    const ClientCensus::Figures clients = sources.census ? sources.census->figures() : ClientCensus::Figures();
    out.key("clients").beginObject()
        .member("connected", clients.connected)
        .member("accepted", clients.accepted)
        .member("held_back", clients.heldBack);
    out.key("disconnected").beginObject();
    for (std::size_t cause = 0; cause < ClientCensus::causeCount; ++cause)
        out.member(ClientCensus::causeName(static_cast<ClientCensus::Cause>(cause)), clients.disconnected[cause]);
    out.endObject().endObject();
}

void StatusReport::writeQueue(JsonWriter& out) const
{
    const CommandSingleton::Figures queue = sources.queue ? sources.queue->figures() : CommandSingleton::Figures();
    out.key("queue").beginObject()
        .member("waiting", queue.waiting)
        .member("worker_busy", queue.workerBusy)
        .member("busy_seconds", seconds(queue.busyFor))
        .member("longest_wait_seconds_last_minute", seconds(queue.longestWaitLastMinute))
        .member("executed", queue.executed)
        .endObject();
}

void StatusReport::writeSystem(JsonWriter& out) const
{
    std::shared_ptr<const SystemSummary> system = sources.system ? sources.system->latest() : nullptr;
    const SystemSummary none;
    const SystemSummary& summary = system ? *system : none;
    out.key("system").beginObject().member("name", summary.name);
    out.key("devices").beginObject();
    for (const auto& kind : summary.devicesByKind)
        out.member(kind.first, kind.second);
    out.endObject()
        .member("last_search_at", epochSeconds(summary.lastSearchAt))
        .member("last_search_reports", summary.lastSearchReports)
        .endObject();
}

void StatusReport::writeChanges(JsonWriter& out) const
{
    out.key("changes").beginArray();
    if (sources.changes)
        for (const ChangeLog::Change& change : sources.changes->recent())
            out.beginObject()
                .member("at", epochSeconds(change.at))
                .member("client", change.client)
                .member("type", change.type)
                .member("mac", change.mac)
                .member("result", change.result)
                .endObject();
    out.endArray();
}

void StatusReport::writeMemory(JsonWriter& out) const
{
    const ProcessMemory memory = ProcessMemory::read();
    out.key("memory").beginObject()
        .member("rss_bytes", memory.residentBytes)
        .member("limit_bytes", memory.limitBytes)
        .member("high_bytes", memory.highBytes)
        .endObject();
}
