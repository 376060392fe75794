#pragma once

#include <chrono>
#include <memory>
#include <string>

class ChangeLog;
class ClientCensus;
class CommandSingleton;
class JsonWriter;
class SummaryPublisher;
class TcpClientInterface;

// The status document (its schema: kipd(8), STATUS): one JSON object made of what each part of kipd counts.
// Built on the event loop, whose are the links' figures; the rest it reads through atomics and
// copies the worker publishes, so it never waits for the command worker.
class StatusReport {
public:
    struct Sources {
        std::shared_ptr<TcpClientInterface> mainLink;
        std::shared_ptr<TcpClientInterface> directLink;
        std::shared_ptr<const ClientCensus> census;
        CommandSingleton* queue = nullptr;
        std::shared_ptr<const SummaryPublisher> system;
        std::shared_ptr<const ChangeLog> changes;
        std::chrono::system_clock::time_point startedAt;
        std::chrono::steady_clock::time_point startedSteady;
    };

    explicit StatusReport(Sources sources) : sources(std::move(sources)) {}

    std::string text() const;

private:
    void writeLink(JsonWriter& out, const std::string& name, TcpClientInterface* link) const;
    void writeClients(JsonWriter& out) const;
    void writeQueue(JsonWriter& out) const;
    void writeSystem(JsonWriter& out) const;
    void writeChanges(JsonWriter& out) const;
    void writeMemory(JsonWriter& out) const;

    Sources sources;
};
