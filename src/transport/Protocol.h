#pragma once

#include <memory>
#include <string>

class Interface;

// Gives a link's bytes their meaning. The protocol owns its link; the link points back plainly.
class Protocol {
public:
    virtual ~Protocol() = default;

    // Bytes received by `link`, on the command worker thread.
    virtual void handleData(const std::string& data, Interface* link) = 0;
    // Bytes received by `link`, on the event-loop thread as they arrive: for a protocol that
    // cannot wait for the worker. None of the daemon's protocols overrides it.
    virtual void handleDataDirect(const std::string& data, Interface* link);
    // Stores the link and registers this protocol with it.
    virtual void attachInterface(std::shared_ptr<Interface> link) = 0;

protected:
    std::shared_ptr<Interface> link;
};
