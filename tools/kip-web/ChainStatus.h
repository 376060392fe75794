#pragma once

#include "StatusReader.h"

#include <string>

// What the page shows of the chain behind kipd, as the JSON answer of GET /status:
//   {"kipd_status": true, "links": {"main": {"connected": false, "since": 1765530127.4,
//    "last_error": "End of file", "last_error_at": 1765530127.4}, "direct": {...}}}
// or {"kipd_status": false, "problem": "..."} when kipd's status cannot be read. A value kipd
// does not know is null.
class ChainStatus {
public:
    static std::string json(const StatusReader::Reading& reading);
};
