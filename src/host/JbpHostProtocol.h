#pragma once

#include "host/HostProtocol.h"

#include <memory>
#include <string>

class NetManager;

// The JSON protocol of one configuration client (skeleton; framing and dispatch to follow).
class JbpHostProtocol : public HostProtocol {
public:
    JbpHostProtocol(std::shared_ptr<Interface> link, NetManager* netManager);
    ~JbpHostProtocol() override;

    void handleData(const std::string& data, Interface* link) override;
    void attachInterface(std::shared_ptr<Interface> link) override;
    void handleClosed(const std::string& reason) override;

private:
    NetManager* netManager;
};
