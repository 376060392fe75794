#pragma once

#include "host/HostProtocol.h"
#include "wire/NulFramer.h"

#include <boost/property_tree/ptree.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

class ChangeLog;
class NetManager;

// The JSON protocol of one configuration client: cuts the byte stream at NUL into JSON
// requests, dispatches each by its "type" and writes the JSON replies, each ended by a NUL.
// Runs on the command worker thread only.
//
// Many requests are answered later, when the configuration daemon has replied or an IP change
// has settled. Those answers hold this object weakly: once the controller has released it they
// do nothing. It must therefore be held by a shared pointer.
class JbpHostProtocol : public HostProtocol, public std::enable_shared_from_this<JbpHostProtocol> {
public:
    using Tree = boost::property_tree::ptree;

    // Changes the client asks for are recorded in `changeLog`, when there is one.
    JbpHostProtocol(std::shared_ptr<Interface> link, NetManager* netManager,
                    std::shared_ptr<ChangeLog> changeLog = nullptr);
    ~JbpHostProtocol() override;

    void handleData(const std::string& data, Interface* link) override;
    void attachInterface(std::shared_ptr<Interface> link) override;
    void handleClosed(const std::string& reason) override;

    // Writes `reply` with "type" = `type` to the client as indented JSON and one NUL.
    void sendReply(const std::string& type, Tree reply);

private:
    using RequestHandler = void (JbpHostProtocol::*)(const Tree& request);
    // An answer runs with the empty text for success, otherwise with the error text.
    using Answer = void (JbpHostProtocol::*)(const std::string& error);

    void handleRequest(const std::string& text);
    // Closes the connection when `text` is part of an HTTP request; tells whether it did.
    bool refusedAsHttp(const std::string& text);
    // Serves the requests still buffered after a request failed.
    void continueBuffered(const std::string& unused);
    void dispatch(const Tree& request);
    void replyError(const std::string& id, const std::string& message);
    // The "_response" reply of the request type dispatched last.
    void sendResponse(Tree reply);
    // A command that runs `operation` on this object for as long as it exists.
    std::shared_ptr<Command> answer(Answer operation);

    // Request handlers and their answers (HostRequests.cpp).
    void hasCorvanetSystem(const Tree& request);
    void getCorvanetIpSettings(const Tree& request);
    void mayChangeCorvanetIpSettings(const Tree& request);
    void setCorvanetIpSettings(const Tree& request);
    void mayUseBuilder(const Tree& request);
    void getDevices(const Tree& request);
    void setTessoraInfo(const Tree& request);
    void getCorvanets(const Tree& request);

    void answerHasCorvanetSystem(const std::string& error);
    void answerGetCorvanetIpSettings(const std::string& error);
    void answerMayChangeCorvanetIpSettings(const std::string& error);
    void answerSetCorvanetIpSettings(const std::string& error);
    void answerMayUseBuilder(const std::string& error);
    void answerGetDevicesSystemRead(const std::string& error);
    void answerGetDevicesSubsystemsRead(const std::string& error);
    void answerSetTessoraInfo(const std::string& error);
    void answerSetTessoraInfoSystemRead(const std::string& error);
    void answerSetTessoraInfoConfirmed(const std::string& error);
    void answerGetCorvanets(const std::string& error);
    // Reply the error, if any, or the lack of a system; tell whether they replied.
    bool repliedError(const std::string& error, const char* failedId);
    bool refusedWithoutSystem(const std::string& error, const char* failedId, const char* noSystemText);
    // Adds `targetMac` to the system with the level of the last request; a system without a
    // name or description fails the change.
    void addTargetRouter();

    // The change request being handled, for the change log: recorded as it arrives, settled with
    // its answer's error text (empty for success) (JbpHostProtocol.cpp).
    void recordChange(const std::string& mac);
    void settleChange(const std::string& error);

    // One report about the device with this MAC text, this box included (DeviceReport.cpp).
    void reportDevice(const std::string& mac);

    std::map<std::string, RequestHandler> requestTable;
    // Whether this box had no system when the last "set_corvanet_ip_settings" arrived.
    bool systemMissingBefore = true;
    // "system.include" and the level of the last "set_tessora_info".
    bool includeGiven = false;
    bool includeValue = false;
    struct Level {
        std::string no;
        std::string name;
        std::string description;
    } level;
    std::string requestType;
    // The router of the last "set_tessora_info", until its report has been sent.
    std::string targetMac;
    NulFramer receiveBuffer;
    bool atStreamStart = true;  // the next request text begins the connection's bytes
    bool refused = false;
    NetManager* netManager;
    std::shared_ptr<ChangeLog> changeLog;
    std::uint64_t pendingChange = 0;  // 0: none
};
