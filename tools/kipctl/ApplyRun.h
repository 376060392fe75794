#pragma once

#include "Client.h"
#include "Plan.h"

#include <string>
#include <vector>

// Makes the changes of a plan one after the other and stops at the first that fails, saying
// which failed, what was made before it, and that applying again resumes.
class ApplyRun {
public:
    ApplyRun(Client& client, const Plan& plan) : client(client), plan(plan) {}

    // ok, or the status of the failure: errorReply, connectionFailed or timedOut.
    int run();

private:
    void make(const Change& change);
    int failed(const Change& change, const std::string& why, int status) const;

    Client& client;
    const Plan& plan;
    std::vector<std::string> made;
};
