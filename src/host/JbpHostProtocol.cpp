#include "host/JbpHostProtocol.h"

#include "core/CommandSingleton.h"
#include "host/ChangeLog.h"
#include "model/NetManager.h"
#include "transport/Interface.h"
#include "wire/HostReplyTexts.h"
#include "wire/JsonNesting.h"
#include "wire/Utf8.h"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/optional.hpp>
#include <boost/property_tree/json_parser.hpp>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

namespace {
const char* const closedReason = "Interface closed connection";
const char* const httpRefusal = "an HTTP request, which a web page may make a browser send";

bool isTokenCharacter(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$%&'*+-.^_`|~", c);
}

// "<method> <target> HTTP/1.": how a browser's request begins.
bool startsWithRequestLine(const std::string& text)
{
    const std::string line = text.substr(0, text.find_first_of("\r\n"));
    const std::size_t methodEnd = line.find(' ');
    if (methodEnd == 0 || methodEnd == std::string::npos ||
        !std::all_of(line.begin(), line.begin() + methodEnd, isTokenCharacter))
        return false;
    const std::size_t targetEnd = line.find(' ', methodEnd + 1);
    return targetEnd != std::string::npos && targetEnd > methodEnd + 1 && line.compare(targetEnd, 8, " HTTP/1.") == 0;
}

// A line "Host:" or "Origin:" (in any case), which no JSON text can hold.
bool holdsBrowserHeader(const std::string& text)
{
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
        for (const char* name : {"host:", "origin:"})
            if (boost::algorithm::istarts_with(text.c_str() + at + 1, name))
                return true;
    return false;
}

// Parses one request text; returns why it is not a JSON text, or nothing.
boost::optional<std::string> parseJson(const std::string& text, JbpHostProtocol::Tree& request)
{
    if (nestsTooDeep(text))
        return std::string(hostreply::tooDeepMessage);
    if (holdsTooManyValues(text))
        return std::string(hostreply::tooManyValuesMessage);
    std::istringstream input(text);
    try {
        boost::property_tree::read_json(input, request);
    } catch (const boost::property_tree::json_parser_error& error) {
        return error.message();
    }
    return boost::none;
}
}  // namespace

JbpHostProtocol::JbpHostProtocol(std::shared_ptr<Interface> newLink, NetManager* netManager,
                                 std::shared_ptr<ChangeLog> changeLog)
    : requestTable{
          {"has_corvanet_system", &JbpHostProtocol::hasCorvanetSystem},
          {"get_corvanet_ip_settings", &JbpHostProtocol::getCorvanetIpSettings},
          {"may_change_corvanet_ip_settings", &JbpHostProtocol::mayChangeCorvanetIpSettings},
          {"set_corvanet_ip_settings", &JbpHostProtocol::setCorvanetIpSettings},
          {"may_use_builder", &JbpHostProtocol::mayUseBuilder},
          {"get_devices", &JbpHostProtocol::getDevices},
          {"set_tessora_info", &JbpHostProtocol::setTessoraInfo},
          {"get_corvanets", &JbpHostProtocol::getCorvanets},
      },
      netManager(netManager), changeLog(std::move(changeLog))
{
    link = std::move(newLink);
}

// Detached first, so that deliveries still queued for the link no longer reach this object;
// the answers waiting on the configuration-daemon link may belong to this connection.
JbpHostProtocol::~JbpHostProtocol()
{
    if (link) {
        link->setProtocol(nullptr);
        link->setDisconnectCommand(nullptr);  // it holds this object plainly
    }
    if (netManager)
        netManager->dropPendingCommands();
}

void JbpHostProtocol::attachInterface(std::shared_ptr<Interface> newLink)
{
    link = std::move(newLink);
    link->setProtocol(this);
}

void JbpHostProtocol::handleClosed(const std::string&)
{
    connected = false;
    // The close command may release this object; executeIfSet's copy keeps the command alive.
    executeIfSet(closeCommand, closedReason);
}

// Each request leaves the framer before it is handled, so a failing request cannot be
// handled twice. An unexpected failure goes on to the command worker, which logs it; the
// requests behind it are served by a queued continuation.
void JbpHostProtocol::handleData(const std::string& data, Interface*)
{
    if (refused)
        return;
    receiveBuffer.append(data);
    std::string text;
    while (!refused && receiveBuffer.next(text)) {
        try {
            handleRequest(text);
        } catch (...) {
            CommandSingleton::instance().enqueue(answer(&JbpHostProtocol::continueBuffered), std::string());
            throw;
        }
    }
}

// A web page can make a browser send an HTTP request to this port, with requests of this
// protocol in its body: such a connection is closed before anything more it sent is handled.
bool JbpHostProtocol::refusedAsHttp(const std::string& text)
{
    const bool first = atStreamStart;
    atStreamStart = false;
    if (!(first && startsWithRequestLine(text)) && !holdsBrowserHeader(text))
        return false;
    refused = true;
    receiveBuffer.clear();
    if (link)
        link->closeForViolation(ClientCensus::Cause::httpRequest, httpRefusal);
    return true;
}

void JbpHostProtocol::continueBuffered(const std::string&) { handleData(std::string(), link.get()); }

void JbpHostProtocol::handleRequest(const std::string& text)
{
    if (refusedAsHttp(text) || text.empty())
        return;
    Tree request;
    if (boost::optional<std::string> failure = parseJson(text, request)) {
        Tree reply;
        reply.put("error.id", hostreply::parseObjectId);
        reply.put("error.message", hostreply::invalidFormatPrefix + *failure);
        reply.put("error.bad_object", text);
        sendReply(hostreply::errorInfo, reply);
        return;
    }
    dispatch(request);
}

void JbpHostProtocol::dispatch(const Tree& request)
{
    std::string type = request.get("type", std::string(hostreply::missingType));
    auto entry = requestTable.find(type);
    if (entry == requestTable.end()) {
        replyError(hostreply::parseObjectId, hostreply::unsupportedTypePrefix + type);
        return;
    }
    requestType = type;
    (this->*entry->second)(request);
}

void JbpHostProtocol::sendReply(const std::string& type, Tree reply)
{
    reply.put("type", type);
    std::ostringstream text;
    boost::property_tree::write_json(text, reply, true);
    // The JSON writer passes bytes above 0x7F through unchanged; a reply stays valid UTF-8 even
    // when it echoes a client's garbage, each stray byte becoming U+FFFD.
    if (link)
        link->send(validUtf8(text.str()) + '\0');
}

void JbpHostProtocol::replyError(const std::string& id, const std::string& message)
{
    Tree reply;
    reply.put("error.id", id);
    reply.put("error.message", message);
    sendReply(hostreply::errorInfo, reply);
}

void JbpHostProtocol::sendResponse(Tree reply) { sendReply(requestType + hostreply::responseSuffix, std::move(reply)); }

void JbpHostProtocol::recordChange(const std::string& mac)
{
    if (changeLog)
        pendingChange = changeLog->record(link ? link->peerAddress() : std::string(), requestType, mac);
}

// Only the first answer settles the change: a reply that comes again runs the answer again.
void JbpHostProtocol::settleChange(const std::string& error)
{
    if (changeLog && pendingChange != 0)
        changeLog->settle(pendingChange, error);
    pendingChange = 0;
}

std::shared_ptr<Command> JbpHostProtocol::answer(Answer operation)
{
    return std::make_shared<WeakCommand<JbpHostProtocol>>(weak_from_this(), operation);
}
