#include "confclient/ConfClientProtocol.h"

#include "confclient/ConfMessage.h"
#include "log/Log.h"
#include "model/NetManager.h"
#include "transport/MacAddress.h"

#include <chrono>
#include <thread>
#include <utility>

namespace {
// The worker sleeps while the event loop connects: every queued command waits with it.
constexpr std::chrono::seconds reconnectWait(1);
}

ConfClientProtocol::ConfClientProtocol(boost::asio::io_context& ioContext, std::shared_ptr<TcpClientInterface> mainLink,
                                       NetManager* netManager, int directPort,
                                       const boost::optional<std::string>& macText)
    : handlers(handlerTable()),
      ownAddress(devicekind::address(devicekind::configurator, macText ? *macText : readMacAddress())),
      defaultDestination(devicekind::confDaemonAddress),
      directLink(std::make_shared<TcpClientInterface>(ioContext, nullptr)),
      netManager(netManager)
{
    directLink->setServer(mainLink->currentHost(), directPort);
    directLink->setProtocol(this);
    attachInterface(std::move(mainLink));
}

ConfClientProtocol::~ConfClientProtocol()
{
    // The links may outlive this object in queued work; they must not call back into it.
    link->setProtocol(nullptr);
    directLink->setProtocol(nullptr);
    link->close();
    directLink->close();
    deviceListCommand.reset();
    replyCommand.reset();
}

std::map<std::string, ConfClientProtocol::Handler> ConfClientProtocol::handlerTable()
{
    return {
        {"system update", &ConfClientProtocol::onSystemUpdate},
        {"spread get", &ConfClientProtocol::onSpreadGet},
        {"spread set", &ConfClientProtocol::onSpreadSet},
        {"spread update", &ConfClientProtocol::onSpreadUpdate},
        {"subsystem list get", &ConfClientProtocol::onSubsystemListGet},
        {"subsystem get", &ConfClientProtocol::onSubsystemGet},
        {"partition list get", &ConfClientProtocol::onPartitionListGet},
        {"mnemonics get", &ConfClientProtocol::onMnemonicsGet},
        {"partition get", &ConfClientProtocol::onPartitionGet},
        {"program get", &ConfClientProtocol::onProgramGet},
        {"device get", &ConfClientProtocol::onDeviceGet},
    };
}

void ConfClientProtocol::attachInterface(std::shared_ptr<Interface> newLink)
{
    link = std::move(newLink);
    link->setProtocol(this);
}

// Each link has its own framer, so a message cut short on one link cannot swallow the
// start of one that arrives on the other.
void ConfClientProtocol::handleData(const std::string& data, Interface* receivedOn)
{
    NulFramer& framer = receivedOn == directLink.get() ? directReceiveBuffer : receiveBuffer;
    framer.append(data);
    std::string message;
    while (framer.next(message))
        dispatchMessage(message, receivedOn);
    if (framer.overflowed()) {
        log(2, "Message from the configuration daemon longer than %zu bytes: link closed", NulFramer::pendingLimit);
        framer.clear();
        if (receivedOn)
            receivedOn->close();  // the next request reopens it
    }
}

void ConfClientProtocol::dispatchMessage(const std::string& text, Interface* receivedOn)
{
    const Tree message = parseMessage(text);
    if (message.get<std::string>("to", "null") != ownAddress)
        return;
    auto row = handlers.find(message.get<std::string>("msg", "null"));
    if (row == handlers.end())
        return;
    (this->*(row->second))(message, receivedOn == directLink.get());
}

bool ConfClientProtocol::reconnectMainLink()
{
    if (link->isConnected())
        return true;
    netManager->forgetSystem();
    link->close();
    link->open();
    std::this_thread::sleep_for(reconnectWait);
    return link->isConnected();
}

void ConfClientProtocol::sendMessage(const std::string& name) { sendMessage(name, std::string()); }

void ConfClientProtocol::sendMessage(const std::string& name, const Tree& body)
{
    sendMessage(name, serializeBody(body));
}

void ConfClientProtocol::sendMessage(const std::string& name, const std::string& body)
{
    if (!reconnectMainLink()) {
        executeIfSet(replyCommand, notConnectedText);
        return;
    }
    link->send(buildMessage(defaultDestination, ownAddress, name, body));
}

void ConfClientProtocol::sendTo(const std::string& name, const std::string& destination)
{
    sendTo(name, destination, Tree());
}

void ConfClientProtocol::sendTo(const std::string& name, const std::string& destination, const Tree& body)
{
    if (!directLink->isConnected()) {
        directLink->close();
        directLink->open();
    }
    if (directLink->isConnected())
        directLink->send(buildMessage(destination, ownAddress, name, serializeBody(body)));
}

void ConfClientProtocol::request(const char* name, std::shared_ptr<Command> command)
{
    replyCommand = std::move(command);
    deviceListCommand.reset();
    sendMessage(name);
}

void ConfClientProtocol::requestSystemDevices(std::shared_ptr<Command> command)
{
    request("device get", std::move(command));
}

void ConfClientProtocol::requestSubsystemList(std::shared_ptr<Command> command)
{
    request("subsystem list get", std::move(command));
}

void ConfClientProtocol::requestSystemUpdate(std::shared_ptr<Command> command)
{
    request("system update", std::move(command));
}

void ConfClientProtocol::requestDeviceList(std::shared_ptr<Command> command)
{
    deviceListCommand = std::move(command);
    replyCommand.reset();
    search = DeviceSearch{std::chrono::system_clock::now(), 0};
    sendTo("device get", devicekind::confDaemonAddress);
}

void ConfClientProtocol::clearReplyCommands()
{
    deviceListCommand.reset();
    replyCommand.reset();
}
