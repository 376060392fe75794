#include "model/NetManager.h"

#include "confclient/ConfClientProtocol.h"

#include "support/EventLoopThread.h"
#include "support/SimulatorProcess.h"
#include "support/Wait.h"
#include "support/WorkerQueue.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>

using Texts = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

TEST(NetManagerQuestions, AnswerFromTheTree)
{
    struct Case {
        const char* type;
        const char* hosts;  // "system.spread.no_of_hosts", or none
        const char* protocol;
        const char* neighbour;
        bool hasSystem, mayChange, mayUseBuilder;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, nullptr, false, true, false},
        {"gx2400-ln-ctl", nullptr, nullptr, nullptr, true, true, true},
        {"corvanet", "0", "none", "", false, true, false},
        {"corvanet", "1", "none", "", true, true, true},
        {"corvanet", "2", "none", "", true, false, false},
        {"corvanet", "two", nullptr, nullptr, false, true, false},
        {"corvanet", "1", nullptr, "00:1E:C0:4A:10:03", true, false, false},
        {"corvanet", "1", "modular", nullptr, true, false, false},
    };
    for (const Case& c : cases) {
        NetManager netManager;
        SystemTree& tree = netManager.tree();
        if (c.type)
            tree.put("corvanet.type", c.type);
        if (c.hosts)
            tree.put("system.spread.no_of_hosts", c.hosts);
        if (c.protocol)
            tree.put("corvanet.internal_protocol", c.protocol);
        if (c.neighbour)
            tree.put("corvanet.neighbor_mac", c.neighbour);
        SCOPED_TRACE(std::string(c.type ? c.type : "-") + " hosts " + (c.hosts ? c.hosts : "-"));
        EXPECT_EQ(netManager.hasSystem(), c.hasSystem);
        EXPECT_EQ(netManager.mayChangeIpSettings(), c.mayChange);
        EXPECT_EQ(netManager.mayUseBuilder(), c.mayUseBuilder);
    }
}

TEST(NetManagerQuestions, ForgettingTheSystemKeepsThisBox)
{
    NetManager netManager;
    SystemTree& tree = netManager.tree();
    tree.put("corvanet.ip_settings.hostname", "box");
    tree.put("devices.0A.type", "tessora");
    tree.put("system.spread.no_of_hosts", 1);
    netManager.forgetSystem();
    EXPECT_EQ(tree.getOr("corvanet.ip_settings.hostname", ""), "box");
    EXPECT_FALSE(tree.contains("devices"));
    EXPECT_FALSE(tree.contains("system"));
}

// Records every execution; run on the worker, read by the test.
class Outcomes : public Command {
public:
    void execute(const std::string& text) override
    {
        std::lock_guard<std::mutex> guard(lock);
        texts.push_back(text);
    }
    Texts received()
    {
        std::lock_guard<std::mutex> guard(lock);
        return texts;
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds limit = 10s)
    {
        return waitUntil([&] { return received().size() >= count; }, limit);
    }

private:
    std::mutex lock;
    Texts texts;
};

std::string hex(const std::string& bytes)
{
    std::string text;
    char pair[3];
    for (unsigned char byte : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", byte);
        text += pair;
    }
    return text;
}

const char* const ownMac = "00:1E:C0:4A:10:01";
const char* const boxB = "00:1E:C0:4A:10:02";
const char* const video = "00:1E:C0:20:00:11";
const char* const audio = "00:1E:C0:20:00:12";
const char* const data = "00:1E:C0:20:00:13";
const char* const deskInSystem = "00:1E:C0:30:00:21";
const char* const deskAlone = "00:1E:C0:30:00:22";
const char* const screen = "00:1E:C0:40:00:31";
const std::string box = "corvanet@00:1E:C0:4A:10:01";
// Each final "system update" reply restarts the panel of the system.
const std::string panelReboot = "reboot tessora@00:1E:C0:30:00:21:";
const std::set<std::string> reads = {"device get",     "spread get",         "subsystem list get", "subsystem get",
                                     "partition get", "partition list get", "mnemonics get"};

// A network manager on the simulator's example network, with the system, its subsystems and
// its devices read as a "get_devices" request reads them. Everything touching the manager
// runs on the worker thread, where the configuration-daemon replies are handled too.
class NetManagerOnNetwork : public ::testing::Test {
protected:
    void SetUp() override
    {
        netManager.connect(loop.io(), "127.0.0.1", simulator.mainPort(), simulator.directPort());
        netManager.setOwnChangeDelays(10ms, 10ms);
        // A first request on a link still connecting would forget the system and retry.
        ASSERT_TRUE(waitUntil([&] { return linksAccepted() == 2; }));
        ASSERT_TRUE(waitUntil([&] { return netManager.confClientProtocol()->directInterface()->isConnected(); }));
        auto system = std::make_shared<Outcomes>();
        onWorker([&] { return netManager.requestSystem(system), true; });
        ASSERT_TRUE(system->waitFor(1));
        auto subsystems = std::make_shared<Outcomes>();
        onWorker([&] { return netManager.requestSubsystems(subsystems), true; });
        ASSERT_TRUE(subsystems->waitFor(1));
        auto devices = std::make_shared<Outcomes>();
        onWorker([&] { return netManager.reportDevices(devices), true; });
        // Both boxes have answered their "spread get" too when box B's system is known.
        ASSERT_TRUE(waitUntil([&] { return text("devices." + std::string(boxB) + ".system_name") == "kdrtn-studio-b"; }));
        ASSERT_TRUE(devices->waitFor(7));
        ASSERT_EQ(system->received(), Texts{""});
        ASSERT_EQ(subsystems->received(), Texts{""});
        mark = inEntries().size();
    }

    void TearDown() override
    {
        // An own IP change queues two commands, one behind the other.
        drainQueue(10s);
        drainQueue(10s);
    }

    int linksAccepted()
    {
        int count = 0;
        for (const auto& entry : simulator.logEntries())
            count += entry.get<std::string>("dir", "") == "connect";
        return count;
    }
    std::string text(const std::string& path)
    {
        return onWorker([&] { return netManager.tree().getOr(path, "<none>"); });
    }
    bool has(const std::string& path)
    {
        return onWorker([&] { return netManager.tree().contains(path); });
    }
    void put(const std::string& path, const std::string& value)
    {
        onWorker([&] { return netManager.tree().put(path, value), true; });
    }

    std::vector<boost::property_tree::ptree> inEntries()
    {
        std::vector<boost::property_tree::ptree> entries;
        for (const auto& entry : simulator.logEntries())
            if (entry.get<std::string>("dir", "") == "in")
                entries.push_back(entry);
        return entries;
    }

    // What the daemon sent on `link` since the mark, reads left out: "msg to: key=value ...",
    // with the port lines of "mnemonics set" counted instead of listed.
    Texts pushes(const std::string& link)
    {
        Texts result;
        std::vector<boost::property_tree::ptree> entries = inEntries();
        for (std::size_t i = mark; i < entries.size(); ++i) {
            const auto& entry = entries[i];
            const std::string msg = entry.get<std::string>("msg", "");
            if (entry.get<std::string>("link", "") != link || reads.count(msg))
                continue;
            std::string line = msg + " " + entry.get<std::string>("to", "") + ":";
            int ports = 0;
            for (const auto& pair : entry.get_child("body")) {
                const std::string key = pair.second.front().second.data();
                if (key == "text")
                    ++ports;
                else
                    line += " " + key + "=" + pair.second.back().second.data();
            }
            if (ports)
                line += " +" + std::to_string(ports);
            result.push_back(line);
        }
        return result;
    }
    Texts awaitPushes(const std::string& link, std::size_t count)
    {
        waitUntil([&] { return pushes(link).size() >= count; }, 10s);
        return pushes(link);
    }
    std::size_t countReads(const std::string& msg)
    {
        std::size_t count = 0;
        for (const auto& entry : inEntries())
            count += entry.get<std::string>("msg", "") == msg;
        return count;
    }

    SimulatorProcess simulator{"examples/network.json"};
    EventLoopThread loop;
    NetManager netManager;
    std::size_t mark = 0;
};

TEST_F(NetManagerOnNetwork, ReadsTheSystemOnceAndReportsKnownDevicesWithoutAsking)
{
    const std::size_t systemReads = countReads("device get");
    auto again = std::make_shared<Outcomes>();
    auto devices = std::make_shared<Outcomes>();
    onWorker([&] {
        netManager.requestSystem(again);
        netManager.requestSubsystems(again);
        netManager.reportDevices(devices);
        return true;
    });
    EXPECT_EQ(again->received(), (Texts{"", ""}));
    // Every device but this box, in the order they answered, at once.
    EXPECT_EQ(devices->received(), (Texts{boxB, "00:1E:C0:4B:00:07", video, audio, data, deskInSystem, deskAlone,
                                          screen, "00:1E:C0:50:00:41"}));
    EXPECT_EQ(countReads("device get"), systemReads);

    onWorker([&] {
        netManager.invalidateSystem();
        netManager.requestSystem(again);
        return true;
    });
    EXPECT_TRUE(again->waitFor(3));
    EXPECT_EQ(countReads("device get"), systemReads + 1);
    EXPECT_EQ(text("system.name"), "kdrtn-studio-a");
}

TEST_F(NetManagerOnNetwork, DeviceIpChangeStopsAtConflictsAndUnknownDevices)
{
    auto change = [&](const std::string& ip, const std::string& hostname, const std::string& mac) {
        auto requester = std::make_shared<Outcomes>();
        onWorker([&] { return netManager.setIpSettings(ip, "", "", hostname, mac, requester), true; });
        EXPECT_TRUE(requester->waitFor(1));
        return requester->received();
    };
    EXPECT_EQ(change("", "tr-video-1", data), Texts{"hostname_conflict"});
    EXPECT_EQ(change("192.168.10.31", "", data), Texts{"ip_address_conflict"});
    // Both conflict: the later device in tree order decides.
    EXPECT_EQ(change("192.168.10.51", "tr-video-1", data), Texts{"ip_address_conflict"});
    EXPECT_EQ(change("192.168.10.31", "kps-gallery", data), Texts{"hostname_conflict"});
    EXPECT_EQ(change("192.168.10.77", "", "00:00:00:00:00:99"), Texts{"Invalid MAC"});
    EXPECT_EQ(text("devices." + std::string(data) + ".ip_settings.ip_address"), "192.168.10.33");
    EXPECT_TRUE(pushes("direct").empty());
    EXPECT_TRUE(pushes("main").empty());

    // A device's own values are no conflict; a device of another system is left as it is.
    EXPECT_EQ(change("192.168.10.33", "tr-data-1", data), Texts{""});
    EXPECT_EQ(change("192.168.10.99", "", boxB), Texts{""});
    EXPECT_EQ(text("devices." + std::string(boxB) + ".ip_settings.ip_address"), "192.168.10.22");
    EXPECT_EQ(awaitPushes("direct", 3),
              (Texts{"device set tessora@" + std::string(data) + ": bootprotocol=static ip=192.168.10.33 "
                     "netmask=255.255.255.0 gateway=192.168.10.1 hostname=tr-data-1",
                     panelReboot, panelReboot}));
    EXPECT_EQ(awaitPushes("main", 2), (Texts{"system update " + box + ":", "system update " + box + ":"}));
}

TEST_F(NetManagerOnNetwork, DeviceIpChangeOfARouterMovesItsSubsystemAndLevel)
{
    auto requester = std::make_shared<Outcomes>();
    onWorker([&] { return netManager.setIpSettings("192.168.10.131", "", "", "tr-video-9", video, requester), true; });
    EXPECT_TRUE(requester->waitFor(1));
    EXPECT_EQ(requester->received(), Texts{""});

    const std::string device = "devices." + std::string(video) + ".ip_settings.";
    EXPECT_EQ(text(device + "ip_address"), "192.168.10.131");
    EXPECT_EQ(text(device + "subnet_mask"), "255.255.255.0");
    EXPECT_EQ(text(device + "hostname"), "tr-video-9");
    EXPECT_EQ(text("system.subsystems.1.router1"), "192.168.10.131:4381");
    EXPECT_EQ(text("system.subsystems.1.description"), "tr-video-9");
    EXPECT_EQ(text("system.levels.1.name"), "tr-video-9");
    EXPECT_EQ(text("system.subsystems.1.routers.1.partitions.0.levelname"), "tr-video-9");

    EXPECT_EQ(awaitPushes("direct", 2), (Texts{"device set tessora@" + std::string(video) +
                                                   ": bootprotocol=static ip=192.168.10.131 netmask=255.255.255.0 "
                                                   "gateway=192.168.10.1 hostname=tr-video-9",
                                               panelReboot}));
    EXPECT_EQ(pushes("main"),
              (Texts{"subsystem set " + box + ": subsystem=1 cascade_mode=0 command_echo=false description=tr-video-9 "
                     "interface_type=tcpip local_lock=0 local_mnemonics=0 loop_mode=false protocol_name=tessora "
                     "protocol_type=native router1=192.168.10.131:4381 use_external_port=0 user=3",
                     "partition set " + box + ": subsystem=1 routerno=1 pid=0 levelno=1 levelname=tr-video-9 "
                     "levelalias= leveldescription=Studio A video levelactive=true physical_in=0-63 physical_out=0-31",
                     "mnemonics set " + box + ": levelno=1 direction=input +64",
                     "mnemonics set " + box + ": levelno=1 direction=output +32", "system update " + box + ":"}));
}

TEST_F(NetManagerOnNetwork, OwnIpChangeCreatesTheSystemAfterTheConflictCheck)
{
    auto refused = std::make_shared<Outcomes>();
    onWorker([&] { return netManager.setIpSettings("192.168.10.121", "", "", "kdrtn-studio-b", ownMac, refused), true; });
    EXPECT_TRUE(refused->waitFor(1));
    EXPECT_EQ(refused->received(), Texts{"system_name_conflict"});
    EXPECT_EQ(text("system.name"), "kdrtn-studio-a");

    auto requester = std::make_shared<Outcomes>();
    onWorker([&] {
        return netManager.setIpSettings("192.168.10.121", "255.255.0.0", "192.168.10.254", "studio-new", ownMac,
                                        requester),
               true;
    });
    EXPECT_TRUE(requester->waitFor(1));
    EXPECT_EQ(requester->received(), Texts{""});
    EXPECT_TRUE(onWorker([&] { return netManager.ipSettingsWereChanged(); }));
    EXPECT_EQ(text("corvanet.ip_settings.ip_address"), "192.168.10.121");
    EXPECT_EQ(text("corvanet.ip_settings.default_gateway"), "192.168.10.254");
    EXPECT_EQ(text("system.name"), "studio-new");
    EXPECT_EQ(text("system.description"), "Corvanet Configurator System");
    EXPECT_EQ(text("system.spread.no_of_hosts"), "1");
    EXPECT_EQ(text("system.spread.file"), "Spread_Segment 192.168.255.255:2836 {\nstudio-new 192.168.10.121\n"
                                          "dummycon 192.168.10.254\n}\nSocketPortReuse = ON\n");
    // The Tessora devices of the old system follow, with the new mask and gateway.
    for (const char* mac : {video, audio, deskInSystem}) {
        const std::string device = "devices." + std::string(mac) + ".";
        EXPECT_EQ(text(device + "system_name"), "studio-new") << mac;
        EXPECT_EQ(text(device + "ip_settings.subnet_mask"), "255.255.0.0") << mac;
        EXPECT_EQ(text(device + "ip_settings.default_gateway"), "192.168.10.254") << mac;
    }
    EXPECT_EQ(text("devices." + std::string(data) + ".system_name"), "");
    EXPECT_EQ(text("devices." + std::string(boxB) + ".system_name"), "kdrtn-studio-b");

    const Texts direct = awaitPushes("direct", 3);
    ASSERT_EQ(direct.size(), 3u);
    EXPECT_EQ(direct[0], "device set tessora@" + std::string(video) +
                             ": system_name=studio-new system_description=Corvanet Configurator System routerA1= "
                             "routerB1= routerC1= routerD1= bootprotocol=static ip=192.168.10.31 "
                             "netmask=255.255.0.0 gateway=192.168.10.254 hostname=tr-video-1");
    EXPECT_EQ(direct[2].substr(0, direct[2].find(" routerA2")),
              "device set tessora@" + std::string(deskInSystem) +
                  ": system_name=studio-new system_description=Corvanet Configurator System "
                  "routerA1=192.168.10.121:4381");
    EXPECT_EQ(pushes("main").at(0), "spread set " + box + ": data=" + hex(text("system.spread.file")) +
                                        " name=studio-new description=Corvanet Configurator System");

    // The same settings once more change nothing of this box: no reboot is due.
    auto unchanged = std::make_shared<Outcomes>();
    onWorker([&] {
        return netManager.setIpSettings("192.168.10.121", "255.255.0.0", "192.168.10.254", "studio-new", ownMac,
                                        unchanged),
               true;
    });
    EXPECT_TRUE(unchanged->waitFor(1));
    EXPECT_EQ(unchanged->received(), Texts{""});
    EXPECT_FALSE(onWorker([&] { return netManager.ipSettingsWereChanged(); }));
}

TEST_F(NetManagerOnNetwork, AddedRouterGetsANewSubsystemLevelAndPorts)
{
    auto requester = std::make_shared<Outcomes>();
    onWorker([&] { return netManager.addRouterToSystem(data, "", "", "", requester), true; });
    EXPECT_TRUE(requester->waitFor(1));
    EXPECT_EQ(requester->received(), Texts{""});

    const std::string device = "devices." + std::string(data) + ".";
    EXPECT_EQ(text(device + "system_name"), "kdrtn-studio-a");
    EXPECT_EQ(text(device + "subsystem"), "3");
    EXPECT_EQ(text("system.levels.5.name"), "tr-data-1");
    EXPECT_EQ(text("system.levels.5.alias"), "Tessora");
    EXPECT_EQ(text("system.levels.5.router"), "5");
    EXPECT_EQ(text("system.levels.5.subsystem"), "3");
    EXPECT_EQ(text("system.subsystems.3.routers.5.routersize"), "32x32");
    EXPECT_EQ(text("system.subsystems.3.routers.5.inputs.31.name"), "IN032");
    EXPECT_EQ(text("system.subsystems.3.routers.5.outputs.0.name"), "OUT001");

    EXPECT_EQ(awaitPushes("direct", 2),
              (Texts{"device set tessora@" + std::string(data) +
                         ": system_name=kdrtn-studio-a system_description=Corvanet Configurator System "
                         "routerA1= routerB1= routerC1= routerD1=",
                     panelReboot}));
    EXPECT_EQ(pushes("main"),
              (Texts{"subsystem set " + box + ": subsystem=3 cascade_mode=0 command_echo=false description=tr-data-1 "
                     "interface_type=tcpip local_lock=0 local_mnemonics=0 loop_mode=false protocol_name=tessora "
                     "protocol_type=native router1=192.168.10.33:4381 use_external_port=0 user=3",
                     "partition set " + box + ": subsystem=3 routerno=5 pid=0 physical_in=0-31 physical_out=0-31 "
                     "levelno=5 levelname=tr-data-1 levelalias= leveldescription= levelactive=true",
                     "mnemonics set " + box + ": levelno=5 direction=input +32",
                     "mnemonics set " + box + ": levelno=5 direction=output +32", "system update " + box + ":"}));

    // Added again from a higher address, it keeps its subsystem and takes its old level over,
    // ports included; a data router there is numbered from 101 on.
    mark = inEntries().size();
    put(device + "address", "19");
    auto again = std::make_shared<Outcomes>();
    onWorker([&] { return netManager.addRouterToSystem(data, "", "", "Data desk", again), true; });
    EXPECT_TRUE(again->waitFor(1));
    EXPECT_FALSE(has("system.subsystems.3.routers.5.partitions.0"));
    EXPECT_EQ(text("system.levels.5.router"), "104");
    EXPECT_EQ(text("system.levels.5.name"), "tr-data-1");
    EXPECT_EQ(text("system.levels.5.description"), "Data desk");
    EXPECT_FALSE(has("system.subsystems.3.routers.104.routersize"));
    EXPECT_EQ(awaitPushes("main", 3),
              (Texts{"partition reset " + box + ": subsystem=3 routerno=5 pid=0",
                     "partition set " + box + ": subsystem=3 routerno=104 pid=0 physical_in=0-31 physical_out=0-31 "
                     "levelno=5 levelname=tr-data-1 levelalias= leveldescription=Data desk levelactive=true",
                     "system update " + box + ":"}));
    EXPECT_EQ(awaitPushes("direct", 1), Texts{panelReboot});
}

TEST_F(NetManagerOnNetwork, ReaddedAudioRouterKeepsItsPortNamesUnderTheGivenLevel)
{
    auto requester = std::make_shared<Outcomes>();
    onWorker([&] { return netManager.addRouterToSystem(audio, "7", "Mix", "", requester), true; });
    EXPECT_TRUE(requester->waitFor(1));
    EXPECT_FALSE(has("system.levels.2"));
    EXPECT_EQ(text("system.levels.7.name"), "Mix");
    EXPECT_EQ(text("system.levels.7.description"), "Studio A audio");
    EXPECT_EQ(text("system.levels.7.router"), "103");
    EXPECT_EQ(text("system.subsystems.2.routers.103.partitions.0.levelno"), "7");
    EXPECT_EQ(text("system.subsystems.2.routers.103.inputs.0.name"), "MIC 1");
    EXPECT_EQ(text("devices." + std::string(audio) + ".subsystem"), "2");
}

TEST_F(NetManagerOnNetwork, PanelsJoinAtOnceAndASystemWithoutNameIsAnError)
{
    auto requester = std::make_shared<Outcomes>();
    onWorker([&] { return netManager.addRouterToSystem(deskAlone, "", "", "", requester), true; });
    EXPECT_EQ(requester->received(), Texts{""});
    EXPECT_EQ(text("devices." + std::string(deskAlone) + ".system_name"), "kdrtn-studio-a");
    const Texts direct = awaitPushes("direct", 1);
    EXPECT_EQ(direct.at(0).substr(0, direct.at(0).find(" routerA2")),
              "device set tessora@" + std::string(deskAlone) +
                  ": system_name=kdrtn-studio-a system_description=Corvanet Configurator System "
                  "routerA1=192.168.10.21:4381");

    onWorker([&] { return netManager.tree().findChild("system")->erase("name"), true; });
    EXPECT_THROW(onWorker([&] { return netManager.addRouterToSystem(data, "", "", "", requester), true; }),
                 boost::property_tree::ptree_bad_path);
    // Devices that are no Tessora devices are not added.
    onWorker([&] { return netManager.addRouterToSystem(screen, "", "", "", requester), true; });
    EXPECT_EQ(requester->received().size(), 1u);
}

TEST_F(NetManagerOnNetwork, RemovedRouterTakesItsSubsystemAndLevelAlong)
{
    auto requester = std::make_shared<Outcomes>();
    onWorker([&] { return netManager.removeRouterFromSystem(video, requester), true; });
    EXPECT_TRUE(requester->waitFor(1));
    EXPECT_EQ(requester->received(), Texts{""});
    const std::string device = "devices." + std::string(video) + ".";
    EXPECT_EQ(text(device + "system_name"), "");
    EXPECT_EQ(text(device + "subsystem"), "");
    EXPECT_FALSE(has("system.subsystems.1"));
    EXPECT_FALSE(has("system.levels.1"));
    EXPECT_TRUE(has("system.levels.2"));
    EXPECT_EQ(awaitPushes("direct", 2),
              (Texts{"device set tessora@" + std::string(video) +
                         ": system_name= system_description= routerA1= routerB1= routerC1= routerD1=",
                     panelReboot}));
    EXPECT_EQ(pushes("main"), (Texts{"partition reset " + box + ": subsystem=1 routerno=1 pid=0",
                                     "subsystem reset " + box + ": subsystem=1", "system update " + box + ":"}));
}

}  // namespace
