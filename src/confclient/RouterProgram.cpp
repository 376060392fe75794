#include "confclient/ConfClientProtocol.h"

#include <string>
#include <thread>
#include <utility>

// The upload of the initialisation program into a Tessora router: three fixed Intel HEX
// records, each sent in a "program set" over the direct link. The router asks for the next
// record with a "program get"; the one after the last record ends the upload.

namespace {

// Extended linear address: the upper 16 address bits are 0040 for the records that follow.
constexpr const char* addressRecord = ":020000040040BA";
// Data: the bytes 01 00 05 at linear address 004003D6.
constexpr const char* dataRecord = ":0303D6000100051E";
constexpr const char* endOfFileRecord = ":00000001FF";

constexpr const char* failureText = "Failed to initialise the Tessora";

ConfClientProtocol::Tree recordBody(const char* record)
{
    ConfClientProtocol::Tree body;
    body.push_back(ConfClientProtocol::Tree::value_type("line", ConfClientProtocol::Tree(record)));
    return body;
}

}  // namespace

void ConfClientProtocol::sendRouterProgram(const std::string& deviceKey, std::shared_ptr<Command> command)
{
    programStep = 0;
    deviceListCommand.reset();
    replyCommand = std::move(command);
    sendTo("program set", devicekind::address(devicekind::tessora, deviceKey), recordBody(addressRecord));
}

// Records 2 and 3 go to whichever device asked for them.
void ConfClientProtocol::onProgramGet(const Tree& message, bool)
{
    const std::string from = message.get<std::string>("from", "");
    if (message.get<std::string>("status", "ok") != "ok") {
        executeIfSet(replyCommand, failureText);
        return;
    }
    ++programStep;
    if (programStep == 1) {
        sendTo("program set", from, recordBody(dataRecord));
    } else if (programStep == 2) {
        sendTo("program set", from, recordBody(endOfFileRecord));
    } else {
        std::this_thread::sleep_for(routerStartUpPause);
        executeIfSet(replyCommand, "");
    }
}
