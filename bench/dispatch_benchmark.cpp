// Configuration-daemon message dispatch, in process: "device get" replies cut into the chunks a
// link delivers, through ConfClientProtocol::handleData (framing, INI reading, dispatch, the
// inventory handler) into the system tree, on the command worker as in the daemon. The
// baselines of the same run handle the same bytes with the framing alone and with the INI
// reader of property_tree alone; the framing of one long message shows its cost per byte.
#include "SilentConfDaemon.h"
#include "support/WorkerQueue.h"

#include "confclient/ConfClientProtocol.h"
#include "confclient/ConfMessage.h"
#include "model/NetManager.h"
#include "transport/FlowLimits.h"
#include "transport/MacAddress.h"
#include "wire/NulFramer.h"

#include <benchmark/benchmark.h>
#include <boost/property_tree/ini_parser.hpp>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A pass over 10,000 replies on a loaded machine can take seconds.
constexpr std::chrono::seconds passLimit(60);

// Replies of the example network (examples/network.json) as the simulator sends them (taken
// from its --log output): the sender's kind and the lines after the envelope.
struct ReplyTemplate {
    const char* name;
    const char* kind;
    const char* body;
};

const ReplyTemplate replyTemplates[] = {
    {"router", "tessora",
     "ip=@IP@\nnetmask=255.255.255.0\ngateway=192.168.10.1\nhostname=tr-video-@N@\naddress=0\nversion=4.1.0\n"
     "build=2023-11-02T08:15:00+0000\nrevision=D\nsystem=r_64x32_video\nsystem_name=kdrtn-studio-a\n"
     "system_description=Corvanet Configurator System\nrouterA1=\nrouterB1=\nrouterC1=\nrouterD1=\n"},
    {"panel", "tessora",
     "ip=@IP@\nnetmask=255.255.255.0\ngateway=192.168.10.1\nhostname=kp-desk-@N@\naddress=8\nversion=2.2.0\n"
     "build=2023-11-02T08:15:00+0000\nrevision=D\nsystem=kpblock\nsystem_name=kdrtn-studio-a\n"
     "system_description=Corvanet Configurator System\nrouterA1=192.168.10.21:4381\nrouterA2=\nrouterA3=\n"
     "routerB1=\nrouterB2=\nrouterB3=\nrouterC1=\nrouterC2=\nrouterC3=\nrouterD1=\nrouterD2=\nrouterD3=\n"},
    {"unsupported", "tessora",
     "ip=@IP@\nnetmask=255.255.255.0\ngateway=192.168.10.1\nhostname=lr-bridge-@N@\naddress=12\nversion=1.0.4\n"
     "build=2023-11-02T08:15:00+0000\nrevision=D\nsystem=r_16x16_video\nsystem_name=\nsystem_description=\n"
     "ext_dev=LR-FRAME-8\n"},
    {"screen", "kpscreen",
     "ip=@IP@\nnetmask=255.255.255.0\ngateway=192.168.10.1\nhostname=kps-@N@\nversion=2.0.3\n"
     "build=2023-06-01T12:00:00+0000\n"},
    {"card", "gx2400-ln-ctl",
     "ip=@IP@\nnetmask=255.255.255.0\ngateway=192.168.10.1\nhostname=gx-ctl-@N@\nversion=1.8.0\nbuild=20231120\n"
     "dip=7\n"},
    {"box", "corvanet",
     "ip=@IP@\nnetmask=255.255.255.0\ngateway=192.168.10.1\nhostname=kdrtn-@N@\nversion=3.2.1-svn4711\n"
     "build_number=4711\nbuild=2024-03-14T10:22:05+0100\nhash=9f3c2ab7\nrevision=C\nbox=lr\n"
     "internal_protocol=modular\naddress=2\nneighbor_mac=00:1E:C0:4A:10:03\nmodule_positions=2\n"},
};
constexpr int templateCount = sizeof replyTemplates / sizeof replyTemplates[0];
// A template index that stands for the whole example network, one kind after the other.
constexpr int mixedKinds = templateCount;

// This box describing itself on the main link.
const char* const ownBoxReply =
    "from=corvanet@00:1E:C0:4A:10:01\nmsg=device get\nip=192.168.10.21\nnetmask=255.255.255.0\n"
    "gateway=192.168.10.1\nhostname=kdrtn-studio-a\nversion=3.2.1-svn4711\nbuild_number=4711\n"
    "build=2024-03-14T10:22:05+0100\nhash=9f3c2ab7\nrevision=C\nbox=kbox\ninternal_protocol=none\naddress=1\n"
    "neighbor_mac=\nmodule_positions=4\nmodule0=1;KD-IO8;1.4.2;B\nmodule1=3;KD-GPI16;1.1.0;A\n";

// The bytes one read of a link delivers at most.
constexpr std::size_t chunkSize = 1024;

// The daemon names itself after the MAC address of "eth0", whatever machine this runs on.
const std::string& ownAddress()
{
    static const std::string address = "kip@" + readMacAddress();
    return address;
}

std::string replaceAll(std::string text, const std::string& marker, const std::string& value)
{
    for (auto at = text.find(marker); at != std::string::npos; at = text.find(marker, at + value.size()))
        text.replace(at, marker.size(), value);
    return text;
}

// Device `index` of a network: a MAC and an address of its own.
std::string deviceMac(int index)
{
    char text[32];
    std::snprintf(text, sizeof text, "02:00:00:%02X:%02X:%02X", (index >> 16) & 0xFF, (index >> 8) & 0xFF,
                  index & 0xFF);
    return text;
}

std::string deviceIp(int index)
{
    return "10." + std::to_string((index >> 16) & 0xFF) + "." + std::to_string((index >> 8) & 0xFF) + "." +
           std::to_string(index & 0xFF);
}

std::string deviceReply(const ReplyTemplate& reply, int index)
{
    std::string body = replaceAll(reply.body, "@IP@", deviceIp(index));
    body = replaceAll(body, "@N@", std::to_string(index));
    return "to=" + ownAddress() + "\nfrom=" + reply.kind + "@" + deviceMac(index) + "\nmsg=device get\n" + body;
}

// One reply per device, the kind chosen by `kind` (or cycling through all for mixedKinds).
std::vector<std::string> networkReplies(int kind, int devices)
{
    std::vector<std::string> replies;
    replies.reserve(devices);
    for (int i = 0; i < devices; ++i)
        replies.push_back(deviceReply(replyTemplates[kind == mixedKinds ? i % templateCount : kind], i));
    return replies;
}

// The replies as a link delivers them: each ended by its NUL, cut into reads of chunkSize bytes.
std::vector<std::string> deliveredChunks(const std::vector<std::string>& replies)
{
    std::string stream;
    for (const std::string& reply : replies)
        stream += reply + '\0';
    std::vector<std::string> chunks;
    for (std::size_t at = 0; at < stream.size(); at += chunkSize)
        chunks.push_back(stream.substr(at, chunkSize));
    return chunks;
}

std::size_t totalSize(const std::vector<std::string>& chunks)
{
    std::size_t size = 0;
    for (const std::string& chunk : chunks)
        size += chunk.size();
    return size;
}

// The network manager of a daemon whose system has been read: this box, its Spread host and
// the subsystems of the example network, connected to a configuration daemon that stays silent.
class Daemon {
public:
    Daemon()
    {
        netManager.connect(confDaemon.context(), "127.0.0.1", confDaemon.mainPort(), confDaemon.directPort());
        waitForLinks();
        onWorker([this] { seedSystem(); });
    }

    ConfClientProtocol& protocol() { return *netManager.confClientProtocol(); }
    Interface* directLink() { return protocol().directInterface().get(); }
    NetManager& manager() { return netManager; }

    std::size_t knownDevices()
    {
        std::size_t count = 0;
        onWorker([this, &count] {
            const SystemTree::Tree* devices = netManager.tree().findChild("devices");
            count = devices ? devices->size() : 0;
        });
        return count;
    }

    void seedSystem()
    {
        SystemTree& tree = netManager.tree();
        tree.put("system.name", "kdrtn-studio-a");
        tree.put("system.description", "Corvanet Configurator System");
        tree.put("system.spread.no_of_hosts", 1);
        tree.putEntry("system.spread.hosts", "kdrtn-studio-a", "192.168.10.21");
        const char* const routers[] = {"192.168.10.31:4381", "192.168.10.32:4381"};
        for (int s = 0; s < 2; ++s) {
            const std::string subsystem = "system.subsystems." + std::to_string(s + 1) + ".";
            tree.put(subsystem + "description", "tr-" + std::to_string(s + 1));
            tree.put(subsystem + "interface_type", "tcpip");
            tree.put(subsystem + "protocol_name", "tessora");
            tree.put(subsystem + "protocol_type", "native");
            tree.put(subsystem + "router1", routers[s]);
        }
    }

private:
    // Both links connect at once to the silent daemon; the sends of the handlers then never wait.
    void waitForLinks()
    {
        for (int i = 0; i < 500; ++i) {
            if (confDaemon.acceptedCount() == 2 && protocol().directInterface()->isConnected())
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        confDaemon.settle();
        confDaemon.settle();
    }

    SilentConfDaemon confDaemon;
    NetManager netManager;
};

Daemon& benchDaemon()
{
    static Daemon* instance = new Daemon();  // lives for the benchmark process
    return *instance;
}

void handAll(ConfClientProtocol& protocol, const std::vector<std::string>& chunks, Interface* link)
{
    for (const std::string& chunk : chunks)
        protocol.handleData(chunk, link);
}

// Replies of one kind (or the mix) from `devices` distinct devices, received on the direct
// link. The tree already knows the devices (a second search); with `fresh` it is emptied
// before each pass, as a search with "refresh" true does.
void BM_DeviceGetDispatch(benchmark::State& state)
{
    const int kind = static_cast<int>(state.range(0));
    const int devices = static_cast<int>(state.range(1));
    const bool fresh = state.range(2) != 0;
    const std::vector<std::string> chunks = deliveredChunks(networkReplies(kind, devices));
    Daemon& d = benchDaemon();
    ConfClientProtocol& protocol = d.protocol();
    Interface* link = d.directLink();
    onWorker([&] {
        d.manager().forgetSystem();
        d.seedSystem();
        handAll(protocol, chunks, link);
    }, passLimit);
    for (auto _ : state) {
        if (fresh) {
            state.PauseTiming();
            onWorker([&] {
                d.manager().forgetSystem();
                d.seedSystem();
            });
            state.ResumeTiming();
        }
        onWorker([&] { handAll(protocol, chunks, link); }, passLimit);
    }
    if (d.knownDevices() != static_cast<std::size_t>(devices))
        state.SkipWithError("the replies did not all reach the tree");
    state.SetItemsProcessed(state.iterations() * devices);
    state.SetBytesProcessed(state.iterations() * totalSize(chunks));
    state.SetLabel(kind == mixedKinds ? "mix" : replyTemplates[kind].name);
}

// This box describing itself on the main link: the entry under "corvanet" and the "spread get"
// it sends back over the main link.
void BM_OwnBoxDispatch(benchmark::State& state)
{
    const int replies = 1000;
    const std::vector<std::string> chunks =
        deliveredChunks(std::vector<std::string>(replies, "to=" + ownAddress() + "\n" + ownBoxReply));
    ConfClientProtocol& protocol = benchDaemon().protocol();
    for (auto _ : state)
        onWorker([&] { handAll(protocol, chunks, nullptr); }, passLimit);
    state.SetItemsProcessed(state.iterations() * replies);
}

// Baseline: the framing alone over the same bytes.
void BM_FramingOnly(benchmark::State& state)
{
    const int devices = static_cast<int>(state.range(0));
    const std::vector<std::string> chunks = deliveredChunks(networkReplies(mixedKinds, devices));
    for (auto _ : state) {
        NulFramer framer;
        std::string message;
        std::size_t messages = 0;
        for (const std::string& chunk : chunks) {
            framer.append(chunk);
            while (framer.next(message))
                ++messages;
        }
        benchmark::DoNotOptimize(messages);
    }
    state.SetItemsProcessed(state.iterations() * devices);
}

// One message of the given size in the reads a link makes: the framer searches each byte once,
// so the time grows with the size, not with its square.
void BM_FramingLongMessage(benchmark::State& state)
{
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    const std::string read(flowlimits::readChunk, 'x');
    std::string message;
    for (auto _ : state) {
        NulFramer framer;
        for (std::size_t received = 0; received < size; received += read.size()) {
            framer.append(read);
            benchmark::DoNotOptimize(framer.next(message));
        }
        framer.append(std::string(1, '\0'));
        benchmark::DoNotOptimize(framer.next(message));
    }
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Baseline: the INI reader of property_tree alone over the same messages, already framed.
void BM_IniReadOnly(benchmark::State& state)
{
    const int devices = static_cast<int>(state.range(0));
    const std::vector<std::string> replies = networkReplies(mixedKinds, devices);
    for (auto _ : state) {
        for (const std::string& reply : replies) {
            std::istringstream stream(reply);
            boost::property_tree::ptree tree;
            boost::property_tree::ini_parser::read_ini(stream, tree);
            benchmark::DoNotOptimize(tree);
        }
    }
    state.SetItemsProcessed(state.iterations() * devices);
}

// The daemon's message reading alone (INI reading with its duplicate-key retry).
void BM_ParseMessageOnly(benchmark::State& state)
{
    const int devices = static_cast<int>(state.range(0));
    const std::vector<std::string> replies = networkReplies(mixedKinds, devices);
    for (auto _ : state)
        for (const std::string& reply : replies)
            benchmark::DoNotOptimize(parseMessage(reply));
    state.SetItemsProcessed(state.iterations() * devices);
}

void kindArguments(benchmark::internal::Benchmark* benchmark)
{
    benchmark->ArgNames({"kind", "devices", "fresh"});
    for (int kind = 0; kind < templateCount; ++kind)
        benchmark->Args({kind, 1000, 0});
    for (int devices : {1000, 10000})
        for (int fresh : {0, 1})
            benchmark->Args({mixedKinds, devices, fresh});
}

}  // namespace

BENCHMARK(BM_DeviceGetDispatch)->Apply(kindArguments)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OwnBoxDispatch)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FramingOnly)->Arg(1000)->ArgName("devices")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FramingLongMessage)->RangeMultiplier(4)->Range(16 << 10, 1 << 20)->Complexity(benchmark::oN)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IniReadOnly)->Arg(1000)->ArgName("devices")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseMessageOnly)->Arg(1000)->ArgName("devices")->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
