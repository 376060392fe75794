#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The record of one change request a bridge passes to kipd, so that the journal tells who
// changed what. One line on standard error, its fields in this order (kip-web(1), LOGGING):
//   kip-web: change set_tessora_info mac="00:1E:C0:20:00:13" client=203.0.113.7 token=yes via=127.0.0.1:40112
// mac is what the request names, quoted, or the word this-box for an IP change that names none;
// via is the bridge's own end toward kipd, the client that kipd's status names for the change.
class ChangeRecord {
public:
    // The change a request asks for, read as kipd reads it (the first member of a name counts,
    // escapes decoded), or nothing for any other request. `request` passed isJsonText.
    static std::optional<ChangeRecord> of(std::string_view request);

    std::size_t typeIndex() const { return type; }  // in WebCounters::changeNames
    const std::optional<std::string>& target() const { return mac; }
    std::string line(const std::string& client, bool tokenShown, const std::string& via) const;

private:
    ChangeRecord(std::size_t type, std::optional<std::string> mac) : type(type), mac(std::move(mac)) {}

    std::size_t type;
    std::optional<std::string> mac;  // none: the request names none, so this box's settings change
};
