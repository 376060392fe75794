#pragma once

#include "Client.h"
#include "Fingerprint.h"
#include "NetworkSurvey.h"
#include "Plan.h"
#include "SystemDescription.h"

#include <memory>
#include <string>
#include <vector>

// The steps that plan, apply and restore share, so that what plan prints is what apply sends.

// One search of the network and the plan of a file against it.
struct Observation {
    NetworkState found;
    std::unique_ptr<Plan> plan;
    Fingerprint fingerprint;
    std::vector<std::string> problems;  // any: nothing may be changed
    std::vector<std::string> notes;
};

Observation observe(Client& client, const SystemDescription& wanted, bool skipMissing, Milliseconds quiet);
// What `plan` reads of `found`, with what the box allows where the plan asks; a refusal of the box
// is added to `problems` when given.
Fingerprint look(Client& client, const SystemDescription& wanted, const NetworkState& found, const Plan& plan,
                 std::vector<std::string>* problems);

void printPlan(const Plan& plan);
void printNotes(const std::vector<std::string>& notes);
// Problems, then "nothing was changed"; usageError.
int refuse(const std::vector<std::string>& problems);
// Asks for "yes" on the terminal.
bool confirmed();
// The path from the root, as records name the files applied; the path as given when it has none.
std::string absolutePath(const std::string& path);

// The search after an apply: whether the network matches the file, as status and lines.
struct Outcome {
    int status;
    std::vector<std::string> lines;
};
Outcome checkResult(Client& client, const SystemDescription& wanted, bool skipMissing, Milliseconds quiet,
                    bool boxChanged);
