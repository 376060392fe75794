#pragma once

#include <cstddef>
#include <memory>
#include <optional>

// Counts the bridges alive; a slot is given back when its holder goes.
class BridgeSlots : public std::enable_shared_from_this<BridgeSlots> {
public:
    class Slot {
    public:
        explicit Slot(std::shared_ptr<BridgeSlots> owner) : owner(std::move(owner)) {}
        Slot(Slot&&) = default;
        Slot& operator=(Slot&&) = default;
        ~Slot()
        {
            if (owner)
                --owner->taken;
        }

    private:
        std::shared_ptr<BridgeSlots> owner;
    };

    explicit BridgeSlots(std::size_t limit) : limit(limit) {}

    std::optional<Slot> take()
    {
        if (taken == limit)
            return std::nullopt;
        ++taken;
        return Slot(shared_from_this());
    }

private:
    std::size_t limit;
    std::size_t taken = 0;
};
