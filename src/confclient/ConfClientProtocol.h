#pragma once

#include "core/Command.h"
#include "model/SystemVocabulary.h"
#include "transport/Protocol.h"
#include "transport/TcpClientInterface.h"
#include "wire/NulFramer.h"
#include "wire/Ports.h"

#include <boost/asio/io_context.hpp>
#include <boost/optional.hpp>
#include <boost/property_tree/ptree.hpp>

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <string>

class NetManager;

// The protocol of the configuration-daemon link. It owns two links to the same host: the main
// link it is given and a direct link it opens itself. Messages are addressed key=value texts
// ended by a NUL; replies are dispatched by their "msg" to the handlers, and outcomes flow back
// to requesters through the pending reply commands. Runs on the command worker thread only.
class ConfClientProtocol : public Protocol {
public:
    using Tree = boost::property_tree::ptree;
    // A reply handler: the whole parsed message, and whether it came over the direct link.
    using Handler = void (ConfClientProtocol::*)(const Tree& message, bool viaDirectLink);

    static constexpr const char* notConnectedText = "Not connected to the configuration daemon";

    // `macText`, when given, replaces the MAC address read from "eth0" in the own address.
    ConfClientProtocol(boost::asio::io_context& ioContext, std::shared_ptr<TcpClientInterface> mainLink,
                       NetManager* netManager, int directPort = kipport::confDaemonDirect,
                       const boost::optional<std::string>& macText = boost::none);
    ~ConfClientProtocol() override;
    ConfClientProtocol(const ConfClientProtocol&) = delete;
    ConfClientProtocol& operator=(const ConfClientProtocol&) = delete;

    // Links, envelope, dispatch and the pending reply commands (ConfClientProtocol.cpp).
    void handleData(const std::string& data, Interface* link) override;
    void attachInterface(std::shared_ptr<Interface> link) override;

    // To `defaultDestination` over the main link; reconnects once, waiting 1 second, and
    // reports a link that stays down to `replyCommand`.
    void sendMessage(const std::string& name);
    void sendMessage(const std::string& name, const std::string& body);
    void sendMessage(const std::string& name, const Tree& body);
    // To `destination` over the direct link; dropped silently while that link is down.
    void sendTo(const std::string& name, const std::string& destination);
    void sendTo(const std::string& name, const std::string& destination, const Tree& body);

    void requestSystemDevices(std::shared_ptr<Command> command);
    void requestSubsystemList(std::shared_ptr<Command> command);
    void requestSystemUpdate(std::shared_ptr<Command> command);
    void requestDeviceList(std::shared_ptr<Command> command);
    void clearReplyCommands();

    // The Spread chain that brings a system up (SpreadReplies.cpp).
    void sendSpreadSettings(std::shared_ptr<Command> command);
    // A device's new IP settings (DeviceIpSettings.cpp).
    void sendDeviceIpSettings(const std::string& deviceKey);
    // Subsystem 0 and the others (SubsystemPush.cpp).
    void pushSystemConfiguration();
    void sendSubsystem(const std::string& subsystem);
    // A router's or panel's membership, a partition and its port names (DevicePush.cpp).
    void sendRouterSettings(const std::string& mac, bool includeNetworkSettings);
    void sendPartition(const std::string& subsystem, const std::string& router, const std::string& partition);

    // Loads the initialisation program into a router, record by record (RouterProgram.cpp).
    // No client request starts it yet: a request that initialises a new router would.
    void sendRouterProgram(const std::string& deviceKey, std::shared_ptr<Command> command);
    // For tests only: a shorter wait after the last record than the router's 3 seconds.
    void setRouterStartUpPause(std::chrono::milliseconds pause) { routerStartUpPause = pause; }

    // Appends the values of a list reply to `queue`: the plain `key` alone when it has a value,
    // else key0, key1, ... up to the first missing or empty one (ConfigurationReading.cpp).
    static void collectNumberedValues(const Tree& message, const std::string& key, std::deque<std::string>& queue);

    const std::shared_ptr<TcpClientInterface>& directInterface() const { return directLink; }
    std::shared_ptr<TcpClientInterface> mainInterface() const { return std::dynamic_pointer_cast<TcpClientInterface>(link); }

    // The last device search: when it was sent and how many devices have answered it since.
    struct DeviceSearch {
        boost::optional<std::chrono::system_clock::time_point> startedAt;
        std::size_t replies = 0;
    };
    const DeviceSearch& lastSearch() const { return search; }

private:
    // ConfClientProtocol.cpp.
    static std::map<std::string, Handler> handlerTable();
    void dispatchMessage(const std::string& text, Interface* receivedOn);
    // Sends `name` to the main link; its reply runs `command`, which replaces any other.
    void request(const char* name, std::shared_ptr<Command> command);
    // True when the main link is (again) connected; forgets the system when it was down.
    bool reconnectMainLink();

    // SpreadReplies.cpp.
    void onSystemUpdate(const Tree& message, bool viaDirectLink);
    void onSpreadGet(const Tree& message, bool viaDirectLink);
    void onSpreadSet(const Tree& message, bool viaDirectLink);
    void onSpreadUpdate(const Tree& message, bool viaDirectLink);
    // After a final "system update": the Tessora panels of the system restart.
    void rebootPanelsOfSystem();

    // ConfigurationReading.cpp: the reading chain asks for the next queued subsystem, or for the
    // partition list once none is left; then for the next queued partition, or reports the end.
    void onSubsystemListGet(const Tree& message, bool viaDirectLink);
    void onSubsystemGet(const Tree& message, bool viaDirectLink);
    void onPartitionListGet(const Tree& message, bool viaDirectLink);
    void onMnemonicsGet(const Tree& message, bool viaDirectLink);
    void onPartitionGet(const Tree& message, bool viaDirectLink);
    void requestNextSubsystem();
    void requestNextPartition();

    // RouterProgram.cpp.
    void onProgramGet(const Tree& message, bool viaDirectLink);

    // DeviceInventory.cpp: the "device get" reply, then a controller box is asked for its Spread
    // settings, a controller card reported on the main link, any other device to the device list.
    void onDeviceGet(const Tree& reply, bool viaDirectLink);
    void followUpDevice(const std::string& kind, const std::string& mac, const std::string& from,
                        bool viaDirectLink);

    // DeviceIpSettings.cpp: the "device set" lines of the four IP settings of the device at
    // `node`, after "bootprotocol=static" when `staticBoot`.
    Tree ipSettingsBody(const std::string& node, bool staticBoot) const;

    std::map<std::string, Handler> handlers;
    std::deque<std::string> subsystemQueue;
    std::deque<std::string> partitionQueue;
    // The place of the last partition read; port names that come before any are kept there.
    std::string currentSubsystem = "-1";
    std::string currentRouter = "-1";
    unsigned programStep = 0;
    // The router starts the loaded program before it may be used; the worker, and every command
    // queued behind it, waits meanwhile.
    std::chrono::milliseconds routerStartUpPause = std::chrono::seconds(3);
    std::string ownAddress;
    NulFramer receiveBuffer;
    NulFramer directReceiveBuffer;
    std::string defaultDestination;
    std::shared_ptr<TcpClientInterface> directLink;
    // The one pending answer of the main link, shared by every client: each request that waits
    // for a reply replaces it, so an earlier requester still waiting is never answered, and a
    // client that leaves clears it, whoever it belonged to (JbpHostProtocol's destructor).
    std::shared_ptr<Command> replyCommand;
    // Runs with the MAC text of each device that answers a search; as shared as `replyCommand`.
    std::shared_ptr<Command> deviceListCommand;
    DeviceSearch search;
    NetManager* netManager;
};
