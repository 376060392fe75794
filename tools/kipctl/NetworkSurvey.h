#pragma once

#include "Client.h"
#include "SystemDescription.h"

#include <stdexcept>
#include <string>

// An error reply of kipd, as "message (id)".
class KipdError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One request and its reply; throws KipdError when the reply carries an error.
Tree askKipd(Client& client, const Tree& request);

// The system as kipd finds it: this box, then a device search unless the box has no system.
struct NetworkState {
    SystemDescription system;
    bool hasSystem = false;
};

NetworkState surveyNetwork(Client& client, Milliseconds quiet);

// "may_change_corvanet_ip_settings" or "may_use_builder", as a yes or no.
bool mayChangeIp(Client& client);
bool mayUseBuilder(Client& client);
