#include "transport/Protocol.h"

void Protocol::handleDataDirect(const std::string&, Interface*) {}
