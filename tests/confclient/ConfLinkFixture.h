#pragma once

#include "confclient/ConfClientProtocol.h"
#include "core/CommandSingleton.h"
#include "model/NetManager.h"

#include "support/EventLoopThread.h"
#include "support/LoopbackPeer.h"
#include "support/Wait.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <string>
#include <vector>

// Records every execution; executed on the worker thread or the test thread.
class RecordingCommand : public Command {
public:
    void execute(const std::string& text) override
    {
        std::lock_guard<std::mutex> guard(lock);
        texts.push_back(text);
    }
    std::vector<std::string> received()
    {
        std::lock_guard<std::mutex> guard(lock);
        return texts;
    }

private:
    std::mutex lock;
    std::vector<std::string> texts;
};

// Waits (bounded) until every command queued so far has run.
inline bool drainCommandQueue()
{
    struct Signal : Command {
        std::promise<void> done;
        void execute(const std::string&) override { done.set_value(); }
    };
    auto signal = std::make_shared<Signal>();
    std::future<void> done = signal->done.get_future();
    CommandSingleton::instance().enqueue(signal, "");
    return done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
}

inline std::string withNul(const std::string& text) { return text + std::string(1, '\0'); }

// A ConfClientProtocol whose two links are connected to loopback peers standing in for the
// configuration daemon's two ports.
struct ConfLink : testing::Test {
    static constexpr const char* ownMac = "00:11:22:33:44:55";
    static constexpr const char* ownAddress = "kip@00:11:22:33:44:55";

    EventLoopThread loop;
    LoopbackPeer mainPeer = LoopbackPeer::listening();
    LoopbackPeer directPeer = LoopbackPeer::listening();
    NetManager netManager;
    std::shared_ptr<TcpClientInterface> mainLink = std::make_shared<TcpClientInterface>(loop.io(), nullptr);
    std::shared_ptr<ConfClientProtocol> protocol;

    virtual boost::optional<std::string> macText() { return std::string(ownMac); }

    void SetUp() override
    {
        mainLink->setServer("127.0.0.1", mainPeer.localPort());
        protocol = std::make_shared<ConfClientProtocol>(loop.io(), mainLink, &netManager, directPeer.localPort(),
                                                        macText());
        ASSERT_TRUE(mainPeer.accept());
        ASSERT_TRUE(directPeer.accept());
        ASSERT_TRUE(waitUntil([&] { return mainLink->isConnected() && protocol->directInterface()->isConnected(); }));
    }

    void TearDown() override
    {
        EXPECT_TRUE(drainCommandQueue());
        protocol.reset();
    }

    Interface* direct() { return protocol->directInterface().get(); }
    SystemTree& tree() { return netManager.tree(); }

    // A "device get" reply addressed to `to`.
    static std::string deviceReply(const std::string& from, const std::string& body,
                                   const std::string& to = ownAddress)
    {
        return withNul("to=" + to + "\nfrom=" + from + "\nmsg=device get\n" + body);
    }
};
