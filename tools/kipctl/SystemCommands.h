#pragma once

#include "Client.h"

#include <string>

// export, plan and apply: the system kept in a file and brought onto the network.
struct SystemFileOptions {
    std::string file;  // export: empty for standard output
    bool json = false;
    bool yes = false;
    bool skipMissing = false;
    Milliseconds quiet{2000};
};

int exportSystem(Client& client, const SystemFileOptions& options);
int planSystem(Client& client, const SystemFileOptions& options);
int applySystem(Client& client, const SystemFileOptions& options);
