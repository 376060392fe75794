#pragma once

#include "host/HostProtocol.h"
#include "transport/NulFramer.h"

#include <boost/property_tree/ptree.hpp>

#include <map>
#include <memory>
#include <string>

class NetManager;

// The JSON protocol of one configuration client: cuts the byte stream at NUL into JSON
// requests, dispatches each by its "type" and writes the JSON replies, each ended by a NUL.
// Runs on the command worker thread only.
class JbpHostProtocol : public HostProtocol {
public:
    using Tree = boost::property_tree::ptree;

    JbpHostProtocol(std::shared_ptr<Interface> link, NetManager* netManager);
    ~JbpHostProtocol() override;

    void handleData(const std::string& data, Interface* link) override;
    void attachInterface(std::shared_ptr<Interface> link) override;
    void handleClosed(const std::string& reason) override;

    // Writes `reply` with "type" = `type` to the client as indented JSON and one NUL.
    void sendReply(const std::string& type, Tree reply);

private:
    using RequestHandler = void (JbpHostProtocol::*)(const Tree& request);

    void handleRequest(const std::string& text);
    void dispatch(const Tree& request);
    void replyError(const std::string& id, const std::string& message);

    void hasCorvanetSystem(const Tree& request);
    void getCorvanetIpSettings(const Tree& request);
    void mayChangeCorvanetIpSettings(const Tree& request);
    void setCorvanetIpSettings(const Tree& request);
    void mayUseBuilder(const Tree& request);
    void getDevices(const Tree& request);
    void setTessoraInfo(const Tree& request);
    void getCorvanets(const Tree& request);
    // The answer of a request type whose handler is not available in this build.
    void replyNotAvailable();

    std::map<std::string, RequestHandler> requestTable;
    std::string requestType;
    NulFramer receiveBuffer;
    NetManager* netManager;
};
