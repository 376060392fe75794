#pragma once

#include "core/Command.h"
#include "model/SystemSummary.h"
#include "model/SystemTree.h"
#include "model/SystemVocabulary.h"
#include "wire/Ports.h"

#include <boost/asio/io_context.hpp>
#include <boost/optional.hpp>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

class ConfClientProtocol;
class FlowGate;

// The single owner of the system model: holds the SystemTree and the configuration-daemon
// protocol, and offers the host request handlers the operations they need. Worker thread only
// (but `connect`, which runs on the main thread during start-up).
//
// Commands given to the operations are executed with one text: empty for success, otherwise
// the error. They may be empty pointers, meaning that nobody is told.
class NetManager {
public:
    NetManager();
    virtual ~NetManager();

    // Creates the link to the configuration daemon (`port` of `address`) and its protocol,
    // which opens its second link to `directPort` of the same host. Both links tell `gate` when
    // they back up.
    void connect(boost::asio::io_context& ioContext, const std::string& address, int port = kipport::confDaemon,
                 int directPort = kipport::confDaemonDirect, std::shared_ptr<FlowGate> gate = nullptr);

    SystemTree& tree() { return systemTree; }
    // For tests, benchmarks and fuzzers, which drive the protocol directly.
    ConfClientProtocol* confClientProtocol() { return confClient.get(); }

    // The system questions, answered from the tree: does this box belong to a system, may its
    // IP settings change (it stands alone), may the system be configured here.
    bool hasSystem() const;
    bool mayChangeIpSettings() const;
    bool mayUseBuilder() const;

    // Runs `command` at once when the system was requested before, otherwise reads it ("device
    // get") first. The mark is set as the read starts: a request while it is under way is
    // answered at once, from the tree as far as it has been filled.
    void requestSystem(std::shared_ptr<Command> command);
    // The next `requestSystem` reads the system again.
    void invalidateSystem();
    // Runs `command` at once when the devices were searched, otherwise reads the subsystems first.
    void requestSubsystems(std::shared_ptr<Command> command);
    // Runs `command` with the MAC text of every known device but this box, or, on the first call
    // after the system was forgotten, searches the network and runs it as each device answers.
    void reportDevices(std::shared_ptr<Command> command);
    // The system at a glance; it walks every device, so it is for now and then, not every command.
    SystemSummary summary() const;
    // Erases "system" and "devices" and clears the marks that they were requested.
    void forgetSystem();
    // Drops the reply commands waiting on the configuration-daemon link.
    void dropPendingCommands();

    // Changes the IP settings of this box (when `mac` is its MAC text) or of the device with that
    // MAC. Empty values of a device change are left as they are. This box's change waits for the
    // devices to answer once more (3 s on the calling thread, then 2 s in a queued command) so
    // that the conflict check sees fresh data.
    void setIpSettings(const std::string& ipAddress, const std::string& subnetMask,
                       const std::string& defaultGateway, const std::string& hostname, const std::string& mac,
                       std::shared_ptr<Command> requester);
    // Whether the last own IP change really changed one of this box's four IP settings.
    bool ipSettingsWereChanged() const { return ipSettingsChanged; }
    // The two waits of an own IP change; shorter ones only make sense where nobody answers.
    void setOwnChangeDelays(std::chrono::milliseconds beforeQueueing, std::chrono::milliseconds queued);

    // Makes the Tessora router with this MAC part of the system: its subsystem, its level
    // (taking over the level of a router that was there before) and its ports. A control panel
    // only joins. Throws the tree's path error when the system has no name or description.
    void addRouterToSystem(const std::string& mac, const std::string& levelNo, const std::string& levelName,
                           const std::string& levelDescription, std::shared_ptr<Command> command);
    // Takes the Tessora router with this MAC out of the system, with its subsystem and levels.
    void removeRouterFromSystem(const std::string& mac, std::shared_ptr<Command> command);
    // Confirms that the router stays in the system: runs `command` with the empty text.
    void confirmRouter(const std::string& mac, std::shared_ptr<Command> command);

    // The Spread configuration text of a new system, and the reading of a received one.
    std::string makeSpreadFile() const;
    void parseSpreadFile(const std::string& text);

private:
    // A router partition: subsystem, router number and partition keys.
    struct PartitionKey {
        std::string subsystem;
        std::string router;
        std::string partition;
    };

    // IP settings change (IpSettingsChange.cpp).
    bool isOwnMac(const std::string& mac) const;
    void settleOwnIpChange(const std::string&);
    void applyOwnIpSettings(const std::string&);
    void applyDeviceIpSettings();
    std::string findConflict(bool ownChange) const;
    std::string conflictWith(const std::string& devicePath, bool ownChange) const;
    bool storeOwnIpSettings();
    void createOwnSystem(const std::string& oldName);
    void moveRoutersToOwnSystem(const std::string& oldName, const std::string& newName,
                                const std::string& newDescription);
    void storeDeviceIpSettings(const std::string& devicePath);
    void updateRouterAfterIpChange(const std::string& devicePath);

    // Router membership (RouterMembership.cpp).
    void joinSystemName(const std::string& mac, const std::string& devicePath);
    std::string placeRouterInSubsystem(const std::string& devicePath);
    boost::optional<std::string> subsystemServing(const std::string& ipAddress) const;
    std::string firstFreeSubsystem() const;
    bool takeOverLevels(const std::string& subsystem, std::string& levelNo, std::string& levelName,
                        std::string& levelDescription);
    std::vector<PartitionKey> partitionsOf(const std::string& subsystem) const;
    void eraseLevelsOf(const std::string& subsystem);
    void erasePartitions(const std::vector<PartitionKey>& partitions);
    void withdrawPartitions(const std::vector<PartitionKey>& partitions);
    // The router's number in its subsystem: its address + 1, audio routers from 101 on and,
    // when `countDataRouters`, data routers at address 16 and above from 101 on too.
    int routerNumber(const std::string& devicePath, bool countDataRouters) const;
    std::string firstFreeLevel(const std::string& start) const;
    void writeRouterLevel(const std::string& devicePath, const std::string& subsystem, int router,
                          const std::string& level, std::string levelName, const std::string& levelDescription,
                          bool keepPorts);

    SystemTree systemTree;
    std::shared_ptr<ConfClientProtocol> confClient;
    bool systemRequested = false;
    bool devicesRequested = false;
    bool ipSettingsChanged = false;
    // The last `setIpSettings` call.
    std::string pendingIpAddress;
    std::string pendingSubnetMask;
    std::string pendingDefaultGateway;
    std::string pendingHostname;
    std::string pendingMac;
    std::shared_ptr<Command> ipRequester;
    std::chrono::milliseconds ownChangeWait{3000};
    std::chrono::milliseconds ownChangeQueuedWait{2000};
};
