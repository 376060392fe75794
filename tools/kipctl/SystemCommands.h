#pragma once

#include "Client.h"

#include <optional>
#include <string>

// export, plan and apply: the system kept in a file and brought onto the network; restore and
// history: what the applies did, and the way back.
struct SystemFileOptions {
    std::string file;  // export: empty for standard output
    bool json = false;
    bool yes = false;
    bool skipMissing = false;
    Milliseconds quiet{2000};
    std::string out;      // plan: the saved plan's file
    std::string history;  // the history folder; empty: the default
    Milliseconds wait{0};  // how long apply waits for another apply of the box
};

int exportSystem(Client& client, const SystemFileOptions& options);
int planSystem(Client& client, const SystemFileOptions& options);
// A system file, or a plan saved by plan --out.
int applySystem(Client& client, const SystemFileOptions& options);
int restoreSystem(Client& client, const SystemFileOptions& options, int run);
// The list of runs, or one run's record.
int showHistory(const SystemFileOptions& options, std::optional<int> run);
