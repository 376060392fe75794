#pragma once

#include "Client.h"
#include "Fingerprint.h"
#include "History.h"
#include "Plan.h"

#include <csignal>
#include <functional>
#include <string>
#include <vector>

// Makes the changes of a plan one after the other, recording each, and stops at the first that
// fails, at a network that no longer holds what the plan expects, or at an interruption, saying
// what stopped it, what was made before, and how to go on.
class ApplyRun {
public:
    // What the network holds now, as the plan reads it.
    using Look = std::function<Fingerprint()>;

    // `look`, when set, is compared with what the plan expects before every change but the first
    // (the first is compared by the caller, from the search that the snapshot was taken from).
    ApplyRun(Client& client, const Plan& plan, RunRecord& record, Look look, Fingerprint expected)
        : client(client), plan(plan), record(record), look(std::move(look)), expected(std::move(expected))
    {
    }

    // ok, or the status of the failure: errorReply, connectionFailed, timedOut or networkChanged;
    // an interruption ends the process by its signal once the record is complete.
    int run();

private:
    bool make(std::size_t index);
    int failed(std::size_t index, const std::string& why, int failure);
    int stopped(const std::string& why, int failure);
    void resumeHint() const;
    [[noreturn]] void interrupted(const std::string& where);

    Client& client;
    const Plan& plan;
    RunRecord& record;
    Look look;
    Fingerprint expected;
    std::vector<std::string> made;
    int status = ok;
};

// Says that the network differs from what the plan expects, names each difference and the changes
// made before; networkChanged.
int refuseChanged(const std::vector<std::string>& differences, const std::vector<std::string>& made);

// SIGINT, SIGTERM and SIGHUP, while it lives, only mark the run as interrupted: the change under
// way ends, and the run stops before the next. A second signal ends the process at once.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    static int signalled();  // the signal, or 0
};
