#pragma once

#include "Bounds.h"

#include <iostream>
#include <set>
#include <string>

// Writes one line about a client, once: a client refused over and over fills no log. Past the
// bound of clients remembered nothing more is written.
class OncePerClient {
public:
    void write(const std::string& client, const std::string& text)
    {
        if (logged.size() >= bounds::maxLoggedClients || !logged.insert(client).second)
            return;
        std::cerr << "kip-web: " << client << ": " << text << '\n';
    }

private:
    std::set<std::string> logged;
};
