#include "confclient/ConfClientProtocol.h"

// Replies of the router program upload. Their handling is not built yet: these messages are
// accepted by the dispatcher and ignored.

void ConfClientProtocol::onProgramGet(const Tree&, bool) {}
