#include "model/NetManager.h"

#include "confclient/ConfClientProtocol.h"
#include "confclient/ConfMessage.h"
#include "support/Recording.h"
#include "support/SimulatedNetwork.h"

#include <gtest/gtest.h>

#include <functional>
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
        const std::pair<const char*, const char*> values[] = {{"corvanet.type", c.type},
                                                              {"system.spread.no_of_hosts", c.hosts},
                                                              {"corvanet.internal_protocol", c.protocol},
                                                              {"corvanet.neighbor_mac", c.neighbour}};
        for (const auto& value : values)
            if (value.second)
                netManager.tree().put(value.first, value.second);
        SCOPED_TRACE(std::string(c.type ? c.type : "-") + " hosts " + (c.hosts ? c.hosts : "-"));
        EXPECT_EQ(netManager.hasSystem(), c.hasSystem);
        EXPECT_EQ(netManager.mayChangeIpSettings(), c.mayChange);
        EXPECT_EQ(netManager.mayUseBuilder(), c.mayUseBuilder);
    }
}

const std::string ownMac = "00:1E:C0:4A:10:01";
const std::string boxB = "00:1E:C0:4A:10:02";
const std::string video = "00:1E:C0:20:00:11";
const std::string audio = "00:1E:C0:20:00:12";
const std::string data = "00:1E:C0:20:00:13";
const std::string deskInSystem = "00:1E:C0:30:00:21";
const std::string deskAlone = "00:1E:C0:30:00:22";
const std::string screen = "00:1E:C0:40:00:31";
const std::string box = "corvanet@00:1E:C0:4A:10:01";
// Each final "system update" reply restarts the panel of the system.
const std::string panelReboot = "reboot tessora@" + deskInSystem + ":";
const std::string systemUpdate = "system update " + box + ":";
const std::set<std::string> reads = {"device get",    "spread get",         "subsystem list get", "subsystem get",
                                     "partition get", "partition list get", "mnemonics get"};

std::string subsystemSet(const std::string& number, const std::string& description, const std::string& router)
{
    return "subsystem set " + box + ": subsystem=" + number +
           " cascade_mode=0 command_echo=false description=" + description +
           " interface_type=tcpip local_lock=0 local_mnemonics=0 loop_mode=false protocol_name=tessora "
           "protocol_type=native router1=" +
           router + " use_external_port=0 user=3";
}
std::string mnemonicsSet(const std::string& level, const std::string& direction, int ports)
{
    return "mnemonics set " + box + ": levelno=" + level + " direction=" + direction + " +" + std::to_string(ports);
}

// A network manager on the simulator's example network, with the system, its subsystems and
// its devices read as a "get_devices" request reads them.
class NetManagerOnNetwork : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(net.connected);
        manager.setOwnChangeDelays(10ms, 10ms);
        ASSERT_EQ(ask([&](auto command) { manager.requestSystem(command); }), Texts{""});
        ASSERT_EQ(ask([&](auto command) { manager.requestSubsystems(command); }), Texts{""});
        auto devices = std::make_shared<RecordingCommand>();
        onWorker([&] { manager.reportDevices(devices); });
        // Both boxes have answered their "spread get" too when box B's system is known.
        ASSERT_TRUE(waitUntil([&] { return text("devices." + boxB + ".system_name") == "kdrtn-studio-b"; }));
        ASSERT_TRUE(devices->waitFor(7));
        mark = net.sim.count("dir", "in");
    }

    // Runs `call` with a new outcome on the worker; returns the outcomes once `count` have come.
    Texts ask(const std::function<void(std::shared_ptr<Command>)>& call, std::size_t count = 1)
    {
        auto outcome = std::make_shared<RecordingCommand>();
        onWorker([&] { call(outcome); });
        outcome->waitFor(count);
        return outcome->received();
    }
    // A value of the tree; "<none>" where there is no node.
    std::string text(const std::string& path) { return net.value(path); }

    // What the daemon sent on `link` since the mark, reads left out: "msg to: key=value ...",
    // with the port lines of "mnemonics set" counted instead of listed.
    Texts pushes(const std::string& link)
    {
        Texts result;
        const auto entries = net.sim.entriesWith("dir", "in");
        for (std::size_t i = mark; i < entries.size(); ++i) {
            const std::string msg = entries[i].get<std::string>("msg", "");
            if (entries[i].get<std::string>("link", "") != link || reads.count(msg))
                continue;
            std::string line = msg + " " + entries[i].get<std::string>("to", "") + ":";
            int ports = 0;
            for (const auto& pair : entries[i].get_child("body")) {
                const std::string key = pair.second.front().second.data();
                if (key == "text")
                    ++ports;
                else
                    line += " " + key + "=" + pair.second.back().second.data();
            }
            result.push_back(ports ? line + " +" + std::to_string(ports) : line);
        }
        return result;
    }
    Texts awaitPushes(const std::string& link, std::size_t count)
    {
        waitUntil([&] { return pushes(link).size() >= count; }, 10s);
        return pushes(link);
    }

    SimulatedNetwork net{"examples/network.json"};
    NetManager& manager = net.netManager;
    std::size_t mark = 0;
};

TEST_F(NetManagerOnNetwork, ReadsTheSystemOnceAndReportsKnownDevicesWithoutAsking)
{
    auto systemReads = [&] {
        std::size_t count = 0;
        for (const auto& entry : net.sim.entriesWith("dir", "in"))
            count += entry.get<std::string>("msg", "") == "device get";
        return count;
    };
    const std::size_t before = systemReads();
    auto again = std::make_shared<RecordingCommand>();
    auto devices = std::make_shared<RecordingCommand>();
    onWorker([&] {
        manager.requestSystem(again);
        manager.requestSubsystems(again);
        manager.reportDevices(devices);
    });
    EXPECT_EQ(again->received(), (Texts{"", ""}));
    // Every device but this box, in the order they answered, at once.
    EXPECT_EQ(devices->received(), (Texts{boxB, "00:1E:C0:4B:00:07", video, audio, data, deskInSystem, deskAlone,
                                          screen, "00:1E:C0:50:00:41"}));
    EXPECT_EQ(systemReads(), before);

    onWorker([&] {
        manager.invalidateSystem();
        manager.requestSystem(again);
    });
    EXPECT_TRUE(again->waitFor(3));
    EXPECT_EQ(systemReads(), before + 1);
    EXPECT_EQ(text("system.name"), "kdrtn-studio-a");
}

TEST_F(NetManagerOnNetwork, DeviceIpChangeStopsAtConflictsAndUnknownDevices)
{
    auto change = [&](const std::string& ip, const std::string& hostname, const std::string& mac) {
        return ask([&](auto command) { manager.setIpSettings(ip, "", "", hostname, mac, command); });
    };
    EXPECT_EQ(change("", "tr-video-1", data), Texts{"hostname_conflict"});
    EXPECT_EQ(change("192.168.10.31", "", data), Texts{"ip_address_conflict"});
    // Both conflict: the later device in tree order decides.
    EXPECT_EQ(change("192.168.10.51", "tr-video-1", data), Texts{"ip_address_conflict"});
    EXPECT_EQ(change("192.168.10.31", "kps-gallery", data), Texts{"hostname_conflict"});
    EXPECT_EQ(change("192.168.10.77", "", "00:00:00:00:00:99"), Texts{"Invalid MAC"});
    EXPECT_EQ(text("devices." + data + ".ip_settings.ip_address"), "192.168.10.33");
    EXPECT_TRUE(pushes("direct").empty());
    EXPECT_TRUE(pushes("main").empty());

    // A device's own values are no conflict; a device of another system is left as it is.
    EXPECT_EQ(change("192.168.10.33", "tr-data-1", data), Texts{""});
    EXPECT_EQ(change("192.168.10.99", "", boxB), Texts{""});
    EXPECT_EQ(text("devices." + boxB + ".ip_settings.ip_address"), "192.168.10.22");
    EXPECT_EQ(awaitPushes("direct", 3), (Texts{"device set tessora@" + data +
                                                   ": bootprotocol=static ip=192.168.10.33 "
                                                   "netmask=255.255.255.0 gateway=192.168.10.1 hostname=tr-data-1",
                                               panelReboot, panelReboot}));
    EXPECT_EQ(awaitPushes("main", 2), (Texts{systemUpdate, systemUpdate}));
}

TEST_F(NetManagerOnNetwork, DeviceIpChangeOfARouterMovesItsSubsystemAndLevel)
{
    EXPECT_EQ(ask([&](auto command) { manager.setIpSettings("192.168.10.131", "", "", "tr-video-9", video, command); }),
              Texts{""});
    // The pushes below are read from the tree: they show the stored settings, subsystem and partition.
    EXPECT_EQ(text("system.levels.1.name"), "tr-video-9");

    EXPECT_EQ(awaitPushes("direct", 2), (Texts{"device set tessora@" + video +
                                                   ": bootprotocol=static ip=192.168.10.131 "
                                                   "netmask=255.255.255.0 gateway=192.168.10.1 hostname=tr-video-9",
                                               panelReboot}));
    EXPECT_EQ(pushes("main"),
              (Texts{subsystemSet("1", "tr-video-9", "192.168.10.131:4381"),
                     "partition set " + box +
                         ": subsystem=1 routerno=1 pid=0 levelno=1 "
                         "levelname=tr-video-9 levelalias= leveldescription=Studio A video levelactive=true "
                         "physical_in=0-63 physical_out=0-31",
                     mnemonicsSet("1", "input", 64), mnemonicsSet("1", "output", 32), systemUpdate}));
}

TEST_F(NetManagerOnNetwork, OwnIpChangeCreatesTheSystemAfterTheConflictCheck)
{
    auto changeOwn = [&](const std::string& mask, const std::string& gateway, const std::string& hostname) {
        return ask(
            [&](auto command) { manager.setIpSettings("192.168.10.121", mask, gateway, hostname, ownMac, command); });
    };
    EXPECT_EQ(changeOwn("", "", "kdrtn-studio-b"), Texts{"system_name_conflict"});
    EXPECT_EQ(text("system.name"), "kdrtn-studio-a");

    EXPECT_EQ(changeOwn("255.255.0.0", "192.168.10.254", "studio-new"), Texts{""});
    EXPECT_TRUE(onWorker([&] { return manager.ipSettingsWereChanged(); }));
    EXPECT_EQ(net.leavesOf("corvanet.ip_settings"),
              "mac_address=" + ownMac +
                  " ip_address=192.168.10.121 "
                  "subnet_mask=255.255.0.0 default_gateway=192.168.10.254 hostname=studio-new");
    EXPECT_EQ(text("system.name"), "studio-new");
    EXPECT_EQ(text("system.description"), "Corvanet Configurator System");
    EXPECT_EQ(text("system.spread.no_of_hosts"), "1");
    EXPECT_EQ(text("system.spread.file"),
              "Spread_Segment 192.168.255.255:2836 {\nstudio-new 192.168.10.121\n"
              "dummycon 192.168.10.254\n}\nSocketPortReuse = ON\n");
    // The Tessora devices of the old system follow, with the new mask and gateway.
    for (const std::string& mac : {video, audio, deskInSystem}) {
        const std::string device = "devices." + mac + ".";
        EXPECT_EQ(text(device + "system_name") + " " + text(device + "ip_settings.subnet_mask") + " " +
                      text(device + "ip_settings.default_gateway"),
                  "studio-new 255.255.0.0 192.168.10.254")
            << mac;
    }
    EXPECT_EQ(text("devices." + data + ".system_name"), "");
    EXPECT_EQ(text("devices." + boxB + ".system_name"), "kdrtn-studio-b");

    const Texts direct = awaitPushes("direct", 3);
    ASSERT_EQ(direct.size(), 3u);
    const std::string joined = ": system_name=studio-new system_description=Corvanet Configurator System ";
    EXPECT_EQ(direct[0], "device set tessora@" + video + joined +
                             "routerA1= routerB1= routerC1= routerD1= "
                             "bootprotocol=static ip=192.168.10.31 netmask=255.255.0.0 gateway=192.168.10.254 "
                             "hostname=tr-video-1");
    EXPECT_EQ(direct[2].substr(0, direct[2].find(" routerA2")),
              "device set tessora@" + deskInSystem + joined + "routerA1=192.168.10.121:4381");
    // After "spread set" the configuration is pushed, then this box takes its address and restarts.
    ASSERT_TRUE(
        waitUntil([&] { return !pushes("main").empty() && pushes("main").back() == "reboot " + box + ":"; }, 10s));
    const Texts main = pushes("main");
    EXPECT_EQ(main.front(), "spread set " + box + ": data=" + hexEncode(text("system.spread.file")) +
                                " name=studio-new description=Corvanet Configurator System");
    EXPECT_EQ(main[1].rfind("subsystem set " + box + ": subsystem=0 ", 0), 0u) << main[1];
    EXPECT_EQ(main[main.size() - 2], "device set " + box +
                                         ": ip=192.168.10.121 netmask=255.255.0.0 "
                                         "gateway=192.168.10.254 hostname=studio-new");

    // The same settings once more change nothing of this box: no reboot is due.
    EXPECT_EQ(changeOwn("255.255.0.0", "192.168.10.254", "studio-new"), Texts{""});
    EXPECT_FALSE(onWorker([&] { return manager.ipSettingsWereChanged(); }));
}

TEST_F(NetManagerOnNetwork, AddedRoutersGetASubsystemLevelAndPorts)
{
    EXPECT_EQ(ask([&](auto command) { manager.addRouterToSystem(data, "", "", "", command); }), Texts{""});
    const std::string device = "devices." + data + ".";
    EXPECT_EQ(text(device + "system_name"), "kdrtn-studio-a");
    EXPECT_EQ(text(device + "subsystem"), "3");
    EXPECT_EQ(net.leavesOf("system.levels.5"),
              "name=tr-data-1 alias=Tessora description= subsystem=3 router=5 partition=0");
    EXPECT_EQ(text("system.subsystems.3.routers.5.routersize"), "32x32");
    EXPECT_EQ(text("system.subsystems.3.routers.5.inputs.31.name"), "IN032");
    EXPECT_EQ(text("system.subsystems.3.routers.5.outputs.0.name"), "OUT001");

    EXPECT_EQ(awaitPushes("direct", 2), (Texts{"device set tessora@" + data +
                                                   ": system_name=kdrtn-studio-a "
                                                   "system_description=Corvanet Configurator System "
                                                   "routerA1= routerB1= routerC1= routerD1=",
                                               panelReboot}));
    EXPECT_EQ(pushes("main"),
              (Texts{subsystemSet("3", "tr-data-1", "192.168.10.33:4381"),
                     "partition set " + box +
                         ": subsystem=3 routerno=5 pid=0 physical_in=0-31 "
                         "physical_out=0-31 levelno=5 levelname=tr-data-1 levelalias= leveldescription= "
                         "levelactive=true",
                     mnemonicsSet("5", "input", 32), mnemonicsSet("5", "output", 32), systemUpdate}));

    // Added again from a higher address, it keeps its subsystem and takes its old level over,
    // ports included; a data router there is numbered from 101 on.
    mark = net.sim.count("dir", "in");
    onWorker([&] { manager.tree().put(device + "address", "19"); });
    EXPECT_EQ(ask([&](auto command) { manager.addRouterToSystem(data, "", "", "Data desk", command); }), Texts{""});
    EXPECT_EQ(text("system.subsystems.3.routers.5.partitions.0"), "<none>");
    EXPECT_EQ(net.leavesOf("system.levels.5"),
              "name=tr-data-1 alias=Tessora description=Data desk subsystem=3 router=104 partition=0");
    EXPECT_EQ(text("system.subsystems.3.routers.104.routersize"), "<none>");
    EXPECT_EQ(awaitPushes("main", 3), (Texts{"partition reset " + box + ": subsystem=3 routerno=5 pid=0",
                                             "partition set " + box +
                                                 ": subsystem=3 routerno=104 pid=0 "
                                                 "physical_in=0-31 physical_out=0-31 levelno=5 levelname=tr-data-1 "
                                                 "levelalias= leveldescription=Data desk levelactive=true",
                                             systemUpdate}));
    EXPECT_EQ(awaitPushes("direct", 1), Texts{panelReboot});

    // An audio router added again keeps its port names under the level given.
    EXPECT_EQ(ask([&](auto command) { manager.addRouterToSystem(audio, "7", "Mix", "", command); }), Texts{""});
    EXPECT_EQ(text("system.levels.2"), "<none>");
    EXPECT_EQ(net.leavesOf("system.levels.7"),
              "name=Mix alias=Tessora description=Studio A audio subsystem=2 router=103 partition=0");
    EXPECT_EQ(text("system.subsystems.2.routers.103.partitions.0.levelno"), "7");
    EXPECT_EQ(text("system.subsystems.2.routers.103.inputs.0.name"), "MIC 1");
    EXPECT_EQ(text("devices." + audio + ".subsystem"), "2");
}

TEST_F(NetManagerOnNetwork, RemovedRouterTakesItsSubsystemAlongAndPanelsJoinAtOnce)
{
    EXPECT_EQ(ask([&](auto command) { manager.removeRouterFromSystem(video, command); }), Texts{""});
    EXPECT_EQ(text("devices." + video + ".system_name"), "");
    EXPECT_EQ(text("devices." + video + ".subsystem"), "");
    EXPECT_EQ(text("system.subsystems.1"), "<none>");
    EXPECT_EQ(text("system.levels.1"), "<none>");
    EXPECT_NE(text("system.levels.2"), "<none>");
    EXPECT_EQ(awaitPushes("direct", 2), (Texts{"device set tessora@" + video +
                                                   ": system_name= system_description= "
                                                   "routerA1= routerB1= routerC1= routerD1=",
                                               panelReboot}));
    EXPECT_EQ(pushes("main"), (Texts{"partition reset " + box + ": subsystem=1 routerno=1 pid=0",
                                     "subsystem reset " + box + ": subsystem=1", systemUpdate}));

    mark = net.sim.count("dir", "in");
    auto requester = std::make_shared<RecordingCommand>();
    onWorker([&] { manager.addRouterToSystem(deskAlone, "", "", "", requester); });
    EXPECT_EQ(requester->received(), Texts{""});
    EXPECT_EQ(text("devices." + deskAlone + ".system_name"), "kdrtn-studio-a");
    const Texts direct = awaitPushes("direct", 1);
    EXPECT_EQ(direct.at(0).substr(0, direct.at(0).find(" routerA2")),
              "device set tessora@" + deskAlone +
                  ": system_name=kdrtn-studio-a "
                  "system_description=Corvanet Configurator System routerA1=192.168.10.21:4381");

    onWorker([&] { manager.tree().findChild("system")->erase("name"); });
    EXPECT_THROW(onWorker([&] { manager.addRouterToSystem(data, "", "", "", requester); }),
                 boost::property_tree::ptree_bad_path);
    // Devices that are no Tessora devices are not added.
    onWorker([&] { manager.addRouterToSystem(screen, "", "", "", requester); });
    EXPECT_EQ(requester->received().size(), 1u);
}

}  // namespace
