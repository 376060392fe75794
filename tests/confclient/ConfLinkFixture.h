#pragma once

#include "confclient/ConfClientProtocol.h"
#include "model/NetManager.h"
#include "support/EventLoopThread.h"
#include "support/LoopbackPeer.h"
#include "support/Recording.h"
#include "support/TreeText.h"
#include "support/WorkerQueue.h"

#include <gtest/gtest.h>

#include <deque>
#include <thread>

using Texts = std::vector<std::string>;

// The "subsystem set" body of this box's own subsystem 0.
inline std::string ownSubsystemBody(const std::string& description = "Corvanet KD-RTN",
                                    const std::string& protocolName = "none")
{
    return "subsystem=0\ncascade_mode=0\ncommand_echo=false\ndescription=" + description +
           "\ninterface_type=internal\nlocal_lock=0\nlocal_mnemonics=0\nloop_mode=false\nprotocol_name=" +
           protocolName + "\nprotocol_type=internal\nuse_external_port=0\nuser=3\n";
}

// A client link whose next answers to `isConnected` on the test's own thread can be set, so a
// test decides at which send the protocol finds it down; then it answers as it is again. While
// answers are left, the protocol's reconnect (`close`, `open`) keeps the one real connection, so
// what was sent before it is not lost. The event loop's own checks always see the real state.
class ScriptedLink : public TcpClientInterface {
public:
    using TcpClientInterface::TcpClientInterface;
    void answerNext(std::deque<bool> answers)
    {
        caller = std::this_thread::get_id();
        script = std::move(answers);
    }
    bool isConnected() override
    {
        if (!scripted())
            return TcpClientInterface::isConnected();
        const bool answer = script.front();
        script.pop_front();
        return answer;
    }
    void close() override
    {
        if (!scripted())
            TcpClientInterface::close();
    }
    void open() override
    {
        if (!scripted())
            TcpClientInterface::open();
    }

private:
    bool scripted() const { return std::this_thread::get_id() == caller && !script.empty(); }

    std::thread::id caller;
    std::deque<bool> script;
};

// A ConfClientProtocol whose two links are connected to loopback peers standing in for the
// configuration daemon's two ports.
struct ConfLink : testing::Test {
    static constexpr const char* ownAddress = "kip@00:11:22:33:44:55";

    EventLoopThread loop;
    LoopbackPeer mainPeer = LoopbackPeer::listening();
    LoopbackPeer directPeer = LoopbackPeer::listening();
    NetManager netManager;
    std::shared_ptr<ScriptedLink> mainLink = std::make_shared<ScriptedLink>(loop.io(), nullptr);
    std::shared_ptr<ConfClientProtocol> protocol;

    void SetUp() override
    {
        mainLink->setServer("127.0.0.1", mainPeer.localPort());
        protocol = std::make_shared<ConfClientProtocol>(loop.io(), mainLink, &netManager, directPeer.localPort(),
                                                        std::string("00:11:22:33:44:55"));
        ASSERT_TRUE(mainPeer.accept() && directPeer.accept());
        ASSERT_TRUE(waitUntil([&] { return mainLink->isConnected() && direct()->isConnected(); }));
    }
    void TearDown() override
    {
        drainQueue();
        protocol.reset();
    }

    Interface* direct() { return protocol->directInterface().get(); }
    SystemTree& tree() { return netManager.tree(); }
    // The next message this daemon sent on each link.
    std::string mainSent() { return mainPeer.receiveMessage(); }
    std::string directSent() { return directPeer.receiveMessage(); }
    std::shared_ptr<RecordingCommand> searchDevices()
    {
        auto devices = std::make_shared<RecordingCommand>();
        protocol->requestDeviceList(devices);
        return devices;
    }
    // Bytes from the daemon, handed to the protocol as if read on `link`.
    void receive(const std::string& bytes, Interface* link) { protocol->handleData(bytes, link); }

    // A message with its envelope and NUL: as this daemon sends it, and one addressed to it.
    static std::string sent(const std::string& to, const std::string& name, const std::string& body = "")
    {
        return reply(ownAddress, name, body, to);
    }
    static std::string reply(const std::string& from, const std::string& name, const std::string& body = "",
                             const std::string& to = ownAddress)
    {
        return "to=" + to + "\nfrom=" + from + "\nmsg=" + name + "\n" + body + std::string(1, '\0');
    }
    static std::string deviceReply(const std::string& from, const std::string& body, const std::string& to = ownAddress)
    {
        return reply(from, "device get", body, to);
    }
};
