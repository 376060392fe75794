// The work behind one host request round trip, in process, to tell where the time of the
// whole-process figure goes: the request on the worker (framing, JSON reading, dispatch, the
// answer from the tree, JSON writing), and the hand-overs between threads that every request
// takes (received bytes to the worker, the reply back to the event loop).
#include "SilentConfDaemon.h"
#include "support/WorkerQueue.h"

#include "host/JbpHostProtocol.h"
#include "model/NetManager.h"
#include "transport/Interface.h"

#include <benchmark/benchmark.h>
#include <boost/asio/post.hpp>

#include <memory>
#include <string>

namespace {

// A link that takes the replies and counts their bytes, in place of a client connection.
class DiscardingLink : public Interface {
public:
    void close() override {}
    void open() override {}
    void send(const std::string& data) override { sentBytes += data.size(); }
    std::size_t sentBytes = 0;
};

// A network manager whose system has been read (its "device get" went to a silent daemon), so
// "has_corvanet_system" is answered from the tree at once.
class ReadSystem {
public:
    ReadSystem()
    {
        netManager.connect(confDaemon.context(), "127.0.0.1", confDaemon.mainPort(), confDaemon.directPort());
        for (int i = 0; i < 500 && !(confDaemon.acceptedCount() == 2); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        confDaemon.settle();
        confDaemon.settle();
        onWorker([this] {
            netManager.requestSystem(nullptr);
            netManager.tree().put("system.spread.no_of_hosts", 1);
        });
    }
    NetManager& manager() { return netManager; }

private:
    SilentConfDaemon confDaemon;
    NetManager netManager;
};

ReadSystem& readSystem()
{
    static ReadSystem* instance = new ReadSystem();  // lives for the benchmark process
    return *instance;
}

// "has_corvanet_system" handled on the worker, one request per read as a client sends it.
void BM_HasCorvanetSystemOnWorker(benchmark::State& state)
{
    const int batch = 1000;
    const std::string request = std::string("{\"type\": \"has_corvanet_system\"}") + '\0';
    auto link = std::make_shared<DiscardingLink>();
    auto protocol = std::make_shared<JbpHostProtocol>(link, &readSystem().manager());
    for (auto _ : state)
        onWorker([&] {
            for (int i = 0; i < batch; ++i)
                protocol->handleData(request, link.get());
        });
    state.counters["reply_bytes"] = static_cast<double>(link->sentBytes) / static_cast<double>(state.iterations() * batch);
    state.SetItemsProcessed(state.iterations() * batch);
    onWorker([&] { protocol.reset(); });
}

// One command through the worker's queue and back to a waiting thread: two hand-overs.
void BM_WorkerQueueRoundTrip(benchmark::State& state)
{
    for (auto _ : state)
        onWorker([] {});
    state.SetItemsProcessed(state.iterations());
}

// One handler posted to an event loop on its own thread and back: two hand-overs, the second
// kind a request takes (the reply goes to the event loop through a post).
void BM_EventLoopPostRoundTrip(benchmark::State& state)
{
    boost::asio::io_context loop;
    auto work = boost::asio::make_work_guard(loop);
    std::thread thread([&loop] { loop.run(); });
    for (auto _ : state) {
        auto done = std::make_shared<std::promise<void>>();
        boost::asio::post(loop, [done] { done->set_value(); });
        if (done->get_future().wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            state.SkipWithError("the event loop did not answer");
            break;
        }
    }
    work.reset();
    thread.join();
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_HasCorvanetSystemOnWorker)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WorkerQueueRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EventLoopPostRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
