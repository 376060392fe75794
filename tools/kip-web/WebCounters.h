#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// What kip-web counts of its own for /metrics since it started, on its one thread.
struct WebCounters {
    // Why a request or a connection was refused; the names are the metric's label values.
    enum class Refusal { malformed, host, origin, token, throttle, slots, connections };
    static constexpr std::array<std::string_view, 7> refusalNames = {"malformed", "host",  "origin",     "token",
                                                                     "throttle",  "slots", "connections"};
    // The change requests a bridge passes on, as ChangeRecord names them.
    static constexpr std::array<std::string_view, 2> changeNames = {"set_corvanet_ip_settings", "set_tessora_info"};

    void refuse(Refusal reason) { ++refused[static_cast<std::size_t>(reason)]; }

    std::array<std::uint64_t, refusalNames.size()> refused{};
    std::array<std::uint64_t, changeNames.size()> changes{};
    std::uint64_t bridgesOpened = 0;
    std::uint64_t connectionsClosedForRoom = 0;  // idle ones, for newcomers
};
