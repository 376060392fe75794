#include "confclient/ConfClientProtocol.h"

// Replies of the subsystem, partition and mnemonic reading chain. Their handling is not built
// yet: these messages are accepted by the dispatcher and ignored.

void ConfClientProtocol::onSubsystemListGet(const Tree&, bool) {}

void ConfClientProtocol::onSubsystemGet(const Tree&, bool) {}

void ConfClientProtocol::onPartitionListGet(const Tree&, bool) {}

void ConfClientProtocol::onMnemonicsGet(const Tree&, bool) {}

void ConfClientProtocol::onPartitionGet(const Tree&, bool) {}
