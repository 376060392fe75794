#pragma once

#include "OncePerClient.h"

#include <cstddef>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>

// Counts the browsers' connections open, per client and in all, within caps that keep kip-web
// below its descriptor limit. A newcomer beyond a cap makes room: the page connection of its
// client (at the total, of anyone) that has waited longest, for a request or for its answer to
// be read, is closed, so that idle connections cannot keep a page load out. Bridges never give
// way; when nothing can, the newcomer is closed instead.
class ConnectionCaps : public std::enable_shared_from_this<ConnectionCaps> {
    enum class State { waiting, bridge, closed };
    struct Entry {
        std::string client;
        bool capped;                    // counted against its client's share
        std::function<void()> giveWay;  // closes the connection at once
        State state = State::waiting;
    };
    using Entries = std::list<Entry>;

public:
    // Held by a connection as long as its socket.
    class Ticket {
    public:
        Ticket(Ticket&& other) noexcept : owner(std::move(other.owner)), entry(other.entry) {}
        Ticket& operator=(Ticket&&) = delete;
        ~Ticket()
        {
            if (owner)
                owner->release(entry);
        }
        // The connection moved on (a new request, an answer): the last of all to give way.
        void touch() { owner->touch(entry); }
        // A bridge now: never closed to make room.
        void keep() { owner->keep(entry); }

    private:
        friend class ConnectionCaps;
        Ticket(std::shared_ptr<ConnectionCaps> owner, Entries::iterator entry) : owner(std::move(owner)), entry(entry) {}

        std::shared_ptr<ConnectionCaps> owner;
        Entries::iterator entry;
    };

    ConnectionCaps(std::size_t limit, std::size_t perClient) : limit(limit), perClient(perClient) {}

    // Uncapped connections (the trusted proxy's, which speaks for many clients) count in the
    // total only. Nothing when the newcomer must be closed.
    std::optional<Ticket> admit(const std::string& client, bool capped, std::function<void()> giveWay);
    std::size_t open() const { return waiting.size() + bridges.size(); }

private:
    bool makeRoom(const std::string& client, bool capped);
    void touch(Entries::iterator entry);
    void keep(Entries::iterator entry);
    void release(Entries::iterator entry);
    void forget(const std::string& client);
    Entries& listOf(State state);

    std::size_t limit;
    std::size_t perClient;
    Entries waiting;  // page connections, the one that waited longest first
    Entries bridges;
    Entries closed;   // gave way; their connections have not ended yet
    std::map<std::string, std::size_t> openBy;
    OncePerClient log;
};
