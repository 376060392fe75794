#include "NetworkSurvey.h"

#include "DeviceSearch.h"
#include "wire/HostReplyTexts.h"

#include <algorithm>

namespace {

Tree requestOf(const std::string& type)
{
    Tree request;
    request.put("type", type);
    return request;
}

IpSettings ipSettingsOf(const Tree& settings)
{
    return {settings.get<std::string>("ip_address", ""), settings.get<std::string>("subnet_mask", ""),
            settings.get<std::string>("default_gateway", ""), settings.get<std::string>("hostname", "")};
}

TessoraDevice tessoraOf(const Tree& report)
{
    TessoraDevice device;
    device.mac = report.get<std::string>("ip_settings.mac_address", "");
    device.ip = ipSettingsOf(report.get_child("ip_settings", Tree()));
    device.kind = report.get_child_optional("tessora.router") ? "router" : "panel";
    device.inSystem = !report.get<std::string>("system.name", "").empty();
    if (report.get_child_optional("system.level.no"))
        device.level = Level{report.get<long>("system.level.no", 0), report.get<std::string>("system.level.name", ""),
                             report.get<std::string>("system.level.description", "")};
    return device;
}

template <typename Device>
void sortByMac(std::vector<Device>& devices)
{
    std::sort(devices.begin(), devices.end(), [](const Device& a, const Device& b) { return a.mac < b.mac; });
}

// A search ends after a quiet spell, so reports of its devices may still come after it: they
// answer no request but the change of that same device.
bool answers(const Tree& request, const Tree& reply)
{
    if (!DeviceSearch::isDeviceReport(reply.get<std::string>("type", "")))
        return true;
    return request.get<std::string>("type", "") == "set_tessora_info" &&
           reply.get<std::string>("ip_settings.mac_address", "") ==
               request.get<std::string>("ip_settings.mac_address", "");
}

}  // namespace

Tree askKipd(Client& client, const Tree& request)
{
    Tree reply = client.ask(request);
    while (!answers(request, reply))
        reply = client.next(client.limit());
    if (boost::optional<Tree&> error = reply.get_child_optional("error"))
        throw KipdError(error->get<std::string>("message", "") + " (" + error->get<std::string>("id", "") + ")");
    return reply;
}

NetworkState surveyNetwork(Client& client, Milliseconds quiet)
{
    NetworkState state;
    state.hasSystem = askKipd(client, requestOf("has_corvanet_system")).get<std::string>("system_exists", "") == "true";
    Tree own = askKipd(client, requestOf("get_corvanet_ip_settings"));
    state.system.box.mac = own.get<std::string>("mac_address", "");
    state.system.box.ip = ipSettingsOf(own);
    if (!state.hasSystem)
        return state;
    SystemDescription& system = state.system;
    int status = DeviceSearch(client, quiet).run(true, [&system](const std::string& type, const Tree& report) {
        if (type == hostreply::newCorvanetInfo)
            system.box.system = report.get<std::string>("system.name", "");
        else if (type == hostreply::newTessoraInfo)
            system.tessora.push_back(tessoraOf(report));
        else
            system.others.push_back(
                {report.get<std::string>("ip_settings.mac_address", ""), ipSettingsOf(report.get_child("ip_settings", Tree()))});
    });
    if (status != ok)
        throw KipdError("the device search failed");
    sortByMac(system.tessora);
    sortByMac(system.others);
    return state;
}

bool mayChangeIp(Client& client)
{
    return askKipd(client, requestOf("may_change_corvanet_ip_settings")).get<std::string>("change_allowed", "") ==
           "true";
}

bool mayUseBuilder(Client& client)
{
    return askKipd(client, requestOf("may_use_builder")).get<std::string>("use_allowed", "") == "true";
}
