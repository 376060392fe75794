#include "ConnectionCaps.h"

#include <algorithm>

std::optional<ConnectionCaps::Ticket> ConnectionCaps::admit(const std::string& client, bool capped,
                                                             std::function<void()> giveWay)
{
    if (!makeRoom(client, capped))
        return std::nullopt;
    ++openBy[client];
    auto entry = waiting.insert(waiting.end(), Entry{client, capped, std::move(giveWay)});
    return Ticket(shared_from_this(), entry);
}

bool ConnectionCaps::makeRoom(const std::string& client, bool capped)
{
    auto held = openBy.find(client);
    Entries::iterator victim = waiting.end();
    std::string why;
    if (capped && held != openBy.end() && held->second >= perClient) {
        victim = std::find_if(waiting.begin(), waiting.end(), [&](const Entry& entry) { return entry.client == client; });
        why = std::to_string(perClient) + " connections at once, the most from one client";
    } else if (open() >= limit) {
        victim = waiting.begin();
        why = std::to_string(limit) + " connections at once, the most kip-web keeps";
    } else {
        return true;
    }
    if (victim == waiting.end()) {
        log.write(client, why + ", and all of them busy: refusing the new one");
        return false;
    }
    log.write(client, why + ": closing the one that waited longest");
    victim->giveWay();
    forget(victim->client);
    victim->state = State::closed;
    closed.splice(closed.end(), waiting, victim);
    return true;
}

void ConnectionCaps::touch(Entries::iterator entry)
{
    if (entry->state == State::waiting)
        waiting.splice(waiting.end(), waiting, entry);
}

void ConnectionCaps::keep(Entries::iterator entry)
{
    if (entry->state != State::waiting)
        return;
    entry->state = State::bridge;
    entry->giveWay = nullptr;
    bridges.splice(bridges.end(), waiting, entry);
}

void ConnectionCaps::release(Entries::iterator entry)
{
    if (entry->state != State::closed)
        forget(entry->client);
    listOf(entry->state).erase(entry);
}

void ConnectionCaps::forget(const std::string& client)
{
    auto held = openBy.find(client);
    if (--held->second == 0)
        openBy.erase(held);
}

ConnectionCaps::Entries& ConnectionCaps::listOf(State state)
{
    return state == State::waiting ? waiting : state == State::bridge ? bridges : closed;
}
