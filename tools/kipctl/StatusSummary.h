#pragma once

#include "Json.h"

#include <ctime>
#include <string>
#include <vector>

// kipd's status report in a person's words (the report's layout: kipd(8), STATUS).
namespace status {

// One line per configuration-daemon link (followed by its recent traffic under `history`), then
// the clients, the command queue, the system, the memory against its limit and the last changes.
// Times of `now`'s day are shown as hh:mm:ss, others with their date. The lines hold the report's
// texts as they are: print them through an escaping of controls.
std::vector<std::string> summary(const JsonValue& report, bool history, std::time_t now);

// Both links of the report are connected.
bool linksUp(const JsonValue& report);

}  // namespace status
