#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>

// Counts the bridges alive, in all and per client, so that one client cannot take them all,
// and keeps the last few free for clients that hold none, so that a handful of clients cannot
// take them all either; a slot is given back when its holder goes.
class BridgeSlots : public std::enable_shared_from_this<BridgeSlots> {
public:
    class Slot {
    public:
        Slot(std::shared_ptr<BridgeSlots> owner, std::string client) : owner(std::move(owner)), client(std::move(client)) {}
        Slot(Slot&&) = default;
        Slot& operator=(Slot&&) = default;
        ~Slot()
        {
            if (owner)
                owner->release(client);
        }

    private:
        std::shared_ptr<BridgeSlots> owner;
        std::string client;
    };

    BridgeSlots(std::size_t limit, std::size_t perClient, std::size_t forNewClients)
        : limit(limit), perClient(perClient), forNewClients(forNewClients)
    {
    }

    std::optional<Slot> take(const std::string& client)
    {
        auto held = heldBy.find(client);
        bool holdsSome = held != heldBy.end();
        if (taken == limit || (holdsSome && (held->second == perClient || limit - taken <= forNewClients)))
            return std::nullopt;
        ++taken;
        ++heldBy[client];
        return Slot(shared_from_this(), client);
    }

    std::size_t open() const { return taken; }

private:
    void release(const std::string& client)
    {
        --taken;
        if (--heldBy[client] == 0)
            heldBy.erase(client);
    }

    std::size_t limit;
    std::size_t perClient;
    std::size_t forNewClients;
    std::size_t taken = 0;
    std::map<std::string, std::size_t> heldBy;
};
