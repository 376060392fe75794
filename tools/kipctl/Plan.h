#pragma once

#include "Fingerprint.h"
#include "NetworkSurvey.h"
#include "SystemDescription.h"

#include <boost/property_tree/ptree.hpp>

#include <string>
#include <vector>

// One change kipd makes with its requests, sent in order, described one line per setting.
struct Change {
    std::string mac;  // empty for this box
    std::vector<std::string> lines;
    std::vector<boost::property_tree::ptree> requests;
    bool changesMembership = false;
    std::vector<Setting> effects;  // what the network holds once it is made
};

// What would make the network match the file, in the order it is applied: devices leave the
// system, devices change their IP settings, levels change, devices join, and last this box's
// own IP settings, because that change reboots it. A router's level moves after the router
// that leaves the number it takes.
class Plan {
public:
    // Checks the file against the network; problems (a device the search does not find, a level
    // kipd would not keep) are added to `problems`, missing devices are noted there only without
    // `skipMissing`, else in `notes`.
    Plan(const SystemDescription& wanted, const NetworkState& found, bool skipMissing,
         std::vector<std::string>& problems, std::vector<std::string>& notes);

    const std::vector<Change>& changes() const { return ordered; }
    bool changesBox() const;
    bool changesMembership() const;
    std::string json() const;

private:
    void planDevice(const TessoraDevice& wanted, const TessoraDevice& found, std::vector<std::string>& problems);
    void planBox(const ThisBox& wanted, const NetworkState& found);
    void orderLevelChanges(std::vector<std::string>& problems);

    struct LevelMove {
        std::optional<long> from;
        long to;
        std::string label;
    };
    std::vector<Change> leaves, ipChanges, levelChanges, joins, box;
    std::vector<LevelMove> levelMoves;  // beside levelChanges
    std::vector<Change> ordered;
};
