#pragma once

#include <exception>
#include <memory>

// A member of a connection as a completion handler: what it throws ends that connection only
// (through the connection's abandon), never the process.
template <class Connection, class... Args>
auto guarded(std::shared_ptr<Connection> self, void (Connection::*handler)(Args...))
{
    return [self = std::move(self), handler](Args... args) {
        try {
            ((*self).*handler)(args...);
        } catch (const std::exception& error) {
            self->abandon(error);
        }
    };
}
