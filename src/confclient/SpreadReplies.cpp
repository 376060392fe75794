#include "confclient/ConfClientProtocol.h"

// Replies of the Spread and system-update chain. Their handling is not built yet: these
// messages are accepted by the dispatcher and ignored.

void ConfClientProtocol::onSystemUpdate(const Tree&, bool) {}

void ConfClientProtocol::onSpreadGet(const Tree&, bool) {}

void ConfClientProtocol::onSpreadSet(const Tree&, bool) {}

void ConfClientProtocol::onSpreadUpdate(const Tree&, bool) {}
