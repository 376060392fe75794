#include "DeviceSearch.h"

#include "wire/HostReplyTexts.h"

bool DeviceSearch::isDeviceReport(const std::string& type)
{
    return type == hostreply::newCorvanetInfo || type == hostreply::newTessoraInfo ||
           type == hostreply::newIpDeviceInfo;
}

int DeviceSearch::run(bool refresh, const Report& report)
{
    int status = refresh ? listReports(true, report) : ok;
    return status == ok ? listReports(false, report) : status;
}

// The reports of one "get_devices" until none has come for `quiet`.
int DeviceSearch::listReports(bool refresh, const Report& report)
{
    Tree request;
    request.put("type", "get_devices");
    request.put("refresh", refresh ? "true" : "false");
    client.send(request);
    // The first report may take as long as any answer; then the listing ends after a quiet spell.
    bool heard = false;
    for (;;) {
        Tree reply;
        try {
            reply = client.receive(heard ? quiet : client.limit());
        } catch (const ConnectionError& error) {
            if (error.kind == ConnectionError::Kind::timedOut && heard)
                return ok;
            throw;
        }
        heard = true;
        std::string type = reply.get<std::string>("type", "");
        std::string mac = reply.get<std::string>("ip_settings.mac_address", "");
        if (isDeviceReport(type) && !mac.empty() && !listed.insert(mac).second)
            continue;
        client.echo();
        if (reportedError(reply))
            return errorReply;
        if (isDeviceReport(type))
            report(type, reply);
    }
}
