#pragma once

#include "BoxLock.h"
#include "Client.h"
#include "History.h"
#include "PlanSteps.h"
#include "SavedPlan.h"
#include "SystemCommands.h"

#include <memory>
#include <string>

// One apply of a system file, a saved plan or a snapshot: under the box's lock, from a search
// whose export is kept as the snapshot before the first change, recorded in the history as it goes.
class ApplySession {
public:
    ApplySession(Client& client, const SystemFileOptions& options)
        : client(client), options(options), history(options.history)
    {
    }

    int applyFile(const SystemDescription& wanted, const std::string& file);
    // Applies exactly the saved plan, while the network holds what it was made from.
    int applySaved(const SavedPlan& saved, const std::string& planFile);
    // Plans and applies the snapshot taken before run N.
    int restore(int run);

private:
    // Which box kipd runs on.
    std::string boxOfKipd();
    // Makes the history folder and takes the lock of kipd's box in it.
    void lockBox();
    Observation observeAgainst(const Fingerprint& expected, const SystemDescription& wanted, bool skipMissing);
    // Plans `wanted` from the network as it is, shows the plan and applies it once confirmed.
    int planAndApply(const SystemDescription& wanted, JsonValue extra);
    int confirmAndRun(const SystemDescription& wanted, Observation seen, JsonValue extra);
    // Snapshot, record, the changes and the search after; `extra` names what is applied.
    int run(const SystemDescription& wanted, const Observation& seen, JsonValue extra, bool lookBeforeEach);
    int takeSnapshot(const NetworkState& found);

    Client& client;
    const SystemFileOptions& options;
    History history;
    std::unique_ptr<BoxLock> lock;
};
