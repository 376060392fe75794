#pragma once

#include "Fingerprint.h"
#include "Json.h"
#include "Plan.h"

#include <string>

// A plan kept in a file by `kipctl plan FILE --out PLAN`: the changes with their requests, the
// system file's text, the box and the fingerprint of the network it was planned from, sealed
// with a checksum so that an edited or damaged plan is refused.
struct SavedPlan {
    std::string box;   // this box's MAC address
    std::string host;  // kipd's host as given
    std::string made;  // when, in UTC
    std::string file;  // the system file's path
    std::string fileText;
    bool skipMissing = false;
    Fingerprint fingerprint;
    JsonValue changes;  // as changesJson writes them
};

namespace savedplan {

// Whether a file's text is meant as a saved plan, even a truncated one.
bool isPlan(const std::string& text);
std::string text(const SavedPlan& plan);
// Throws systemfile::FileError naming the file and what is wrong.
SavedPlan parse(const std::string& text, const std::string& path);
// Each change as its device, its lines and its requests, in the order they go out.
JsonValue changesJson(const Plan& plan);

}  // namespace savedplan
