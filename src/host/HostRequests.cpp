// The request handlers of the host protocol and their answers. Most handlers make sure the
// system has been read from the configuration daemon and answer once it has.
#include "host/JbpHostProtocol.h"

#include "model/NetManager.h"
#include "wire/HostReplyTexts.h"

#include <boost/optional.hpp>

namespace {
using Tree = JbpHostProtocol::Tree;

void putError(Tree& reply, const std::string& id, const std::string& message)
{
    reply.put("error.id", id);
    reply.put("error.message", message);
}

// The answer to a yes/no question: the flag, and the error when reading the system failed.
Tree yesNoReply(const char* flag, bool value, const std::string& error, const char* failedId)
{
    Tree reply;
    reply.put(flag, value);
    if (!error.empty())
        putError(reply, failedId, error);
    return reply;
}
}  // namespace

void JbpHostProtocol::hasCorvanetSystem(const Tree&)
{
    netManager->requestSystem(answer(&JbpHostProtocol::answerHasCorvanetSystem));
}

void JbpHostProtocol::answerHasCorvanetSystem(const std::string& error)
{
    sendResponse(yesNoReply("system_exists", netManager->hasSystem(), error, hostreply::hasSystemFailedId));
}

void JbpHostProtocol::getCorvanetIpSettings(const Tree&)
{
    netManager->requestSystem(answer(&JbpHostProtocol::answerGetCorvanetIpSettings));
}

// Without known settings of this box nothing is sent.
void JbpHostProtocol::answerGetCorvanetIpSettings(const std::string& error)
{
    if (repliedError(error, hostreply::getIpSettingsFailedId))
        return;
    const Tree* settings = netManager->tree().findChild(systempath::ownIpSettings);
    if (!settings)
        return;
    Tree reply;
    for (const Tree::value_type& setting : *settings)
        reply.push_back(setting);
    sendResponse(reply);
}

void JbpHostProtocol::mayChangeCorvanetIpSettings(const Tree&)
{
    netManager->invalidateSystem();
    netManager->requestSystem(answer(&JbpHostProtocol::answerMayChangeCorvanetIpSettings));
}

void JbpHostProtocol::answerMayChangeCorvanetIpSettings(const std::string& error)
{
    sendResponse(
        yesNoReply("change_allowed", netManager->mayChangeIpSettings(), error, hostreply::mayChangeIpFailedId));
}

// Without "mac_address" this box changes.
void JbpHostProtocol::setCorvanetIpSettings(const Tree& request)
{
    const std::string own = netManager->tree().getOr(systempath::ownMac, "");
    const std::string mac = request.get("mac_address", own);
    recordChange(mac);
    systemMissingBefore = !netManager->hasSystem();
    std::string ipAddress, subnetMask, defaultGateway, hostname;
    try {
        ipAddress = request.get<std::string>("ip_address");
        subnetMask = request.get<std::string>("subnet_mask");
        defaultGateway = request.get<std::string>("default_gateway");
        hostname = request.get<std::string>("hostname");
    } catch (const boost::property_tree::ptree_error& error) {
        replyError(hostreply::setCorvanetIpInvalidId, hostreply::invalidObjectPrefix + std::string(error.what()));
        settleChange(hostreply::invalidObjectPrefix + std::string(error.what()));
        return;
    }
    netManager->setIpSettings(ipAddress, subnetMask, defaultGateway, hostname, mac,
                              answer(&JbpHostProtocol::answerSetCorvanetIpSettings));
}

void JbpHostProtocol::answerSetCorvanetIpSettings(const std::string& error)
{
    settleChange(error);
    Tree reply;
    if (error.empty()) {
        reply.put("system_created", systemMissingBefore && netManager->hasSystem());
        // This box restarts to take settings that really changed; a controller card takes them at once.
        const bool isCard = netManager->tree().getOr(systempath::ownType, "") == devicekind::controllerCard;
        reply.put("reboot", !isCard && netManager->ipSettingsWereChanged());
    } else {
        reply.put("system_created", false);
        reply.put("reboot", false);
        putError(reply, error, hostreply::setIpSettingsFailedMessage);
    }
    sendResponse(reply);
}

void JbpHostProtocol::mayUseBuilder(const Tree&)
{
    netManager->invalidateSystem();
    netManager->requestSystem(answer(&JbpHostProtocol::answerMayUseBuilder));
}

void JbpHostProtocol::answerMayUseBuilder(const std::string& error)
{
    Tree reply = yesNoReply("use_allowed", netManager->mayUseBuilder(), error, hostreply::mayUseBuilderFailedId);
    if (error.empty() && !netManager->hasSystem()) {
        netManager->forgetSystem();
        putError(reply, hostreply::noSystemId, hostreply::noSystemForBuilder);
    }
    sendResponse(reply);
}

bool JbpHostProtocol::repliedError(const std::string& error, const char* failedId)
{
    if (!error.empty())
        replyError(failedId, error);
    return !error.empty();
}

// Replies the error when reading the system failed, or found that this box has none (which is
// then forgotten, so the next request reads it again); tells whether it replied.
bool JbpHostProtocol::refusedWithoutSystem(const std::string& error, const char* failedId, const char* noSystemText)
{
    if (repliedError(error, failedId))
        return true;
    if (netManager->hasSystem())
        return false;
    netManager->forgetSystem();
    replyError(hostreply::noSystemId, noSystemText);
    return true;
}

// "refresh" (default true) reads everything again; the client receives one report per device.
void JbpHostProtocol::getDevices(const Tree& request)
{
    const boost::optional<bool> refresh = request.get_optional<bool>("refresh");
    if (!refresh || *refresh)
        netManager->forgetSystem();
    netManager->requestSystem(answer(&JbpHostProtocol::answerGetDevicesSystemRead));
}

void JbpHostProtocol::answerGetDevicesSystemRead(const std::string& error)
{
    if (refusedWithoutSystem(error, hostreply::getDevicesFailedId, hostreply::noSystemForSearch))
        return;
    const std::string own = netManager->tree().getOr(systempath::ownMac, "");
    if (!own.empty())
        reportDevice(own);
    netManager->requestSubsystems(answer(&JbpHostProtocol::answerGetDevicesSubsystemsRead));
}

void JbpHostProtocol::answerGetDevicesSubsystemsRead(const std::string& error)
{
    if (repliedError(error, hostreply::getDevicesSubsystemsFailedId))
        return;
    netManager->reportDevices(answer(&JbpHostProtocol::reportDevice));
}

// IP settings in the request change the router (or this box); otherwise "system.include"
// decides: true keeps the router in the system, false takes it out, absent adds it.
void JbpHostProtocol::setTessoraInfo(const Tree& request)
{
    targetMac = request.get("ip_settings.mac_address", "");
    recordChange(targetMac);
    const std::string ipAddress = request.get("ip_settings.ip_address", "");
    const std::string subnetMask = request.get("ip_settings.subnet_mask", "");
    const std::string defaultGateway = request.get("ip_settings.default_gateway", "");
    const std::string hostname = request.get("ip_settings.hostname", "");
    if (!ipAddress.empty() || !subnetMask.empty() || !defaultGateway.empty() || !hostname.empty()) {
        netManager->setIpSettings(ipAddress, subnetMask, defaultGateway, hostname, targetMac,
                                  answer(&JbpHostProtocol::answerSetTessoraInfo));
        return;
    }
    try {
        const boost::optional<const Tree&> include = request.get_child_optional("system.include");
        includeValue = include && include->get_value<bool>();
        includeGiven = static_cast<bool>(include);
    } catch (const boost::property_tree::ptree_error& error) {
        replyError(hostreply::setTessoraInfoInvalidId, hostreply::invalidObjectPrefix + std::string(error.what()));
        settleChange(hostreply::invalidObjectPrefix + std::string(error.what()));
        return;
    }
    level.no = request.get("system.level.no", "");
    level.name = request.get("system.level.name", "");
    level.description = request.get("system.level.description", "");
    netManager->requestSystem(answer(&JbpHostProtocol::answerSetTessoraInfoSystemRead));
}

// The common end of a router change: the router's report, or the error.
void JbpHostProtocol::answerSetTessoraInfo(const std::string& error)
{
    settleChange(error);
    if (!error.empty()) {
        replyError(hostreply::setTessoraFailedId, error);
    } else if (!targetMac.empty()) {
        reportDevice(targetMac);
        targetMac.clear();
    }
}

void JbpHostProtocol::answerSetTessoraInfoSystemRead(const std::string& error)
{
    if (refusedWithoutSystem(error, hostreply::setTessoraSystemFailedId, hostreply::noSystemForTessora)) {
        settleChange(error.empty() ? hostreply::noSystemForTessora : error);
        return;
    }
    if (!includeGiven)
        addTargetRouter();
    else if (includeValue)
        netManager->confirmRouter(targetMac, answer(&JbpHostProtocol::answerSetTessoraInfoConfirmed));
    else
        netManager->removeRouterFromSystem(targetMac, answer(&JbpHostProtocol::answerSetTessoraInfo));
}

void JbpHostProtocol::answerSetTessoraInfoConfirmed(const std::string& error)
{
    if (!error.empty()) {
        replyError(hostreply::addRouterFailedId, error);
        settleChange(error);
    } else if (!targetMac.empty()) {
        addTargetRouter();
    }
}

void JbpHostProtocol::addTargetRouter()
{
    try {
        netManager->addRouterToSystem(targetMac, level.no, level.name, level.description,
                                      answer(&JbpHostProtocol::answerSetTessoraInfo));
    } catch (const boost::property_tree::ptree_error& error) {
        answerSetTessoraInfo(error.what());
    }
}

void JbpHostProtocol::getCorvanets(const Tree&)
{
    netManager->requestSystem(answer(&JbpHostProtocol::answerGetCorvanets));
}

// The Spread hosts of the system; the one with this box's address is marked "current".
void JbpHostProtocol::answerGetCorvanets(const std::string& error)
{
    if (repliedError(error, hostreply::getCorvanetsFailedId))
        return;
    const SystemTree& tree = netManager->tree();
    const std::string own = tree.getOr(systempath::ownIpAddress, "localhost");
    Tree reply;
    const Tree* hosts = tree.findChild(systempath::spreadHosts);
    if (hosts && !hosts->empty()) {
        Tree corvanets;
        for (const Tree::value_type& host : *hosts) {
            const std::string address = host.second.get_value(std::string());
            Tree entry;
            if (address == own)
                entry.put("current", true);
            entry.put("hostname", host.first);
            entry.put("ip_address", address);
            corvanets.push_back(Tree::value_type("", entry));
        }
        reply.add_child("corvanets", corvanets);
    }
    sendResponse(reply);
}
