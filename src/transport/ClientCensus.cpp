#include "transport/ClientCensus.h"

ClientCensus::Figures ClientCensus::figures() const
{
    Figures figures;
    figures.accepted = acceptedCount;
    figures.heldBack = heldBackCount;
    std::size_t ended = 0;
    for (std::size_t cause = 0; cause < causeCount; ++cause)
        ended += figures.disconnected[cause] = disconnectedCount[cause];
    figures.connected = figures.accepted > ended ? figures.accepted - ended : 0;
    return figures;
}

const char* ClientCensus::causeName(Cause cause)
{
    switch (cause) {
    case Cause::peerClosed: return "peer_closed";
    case Cause::overLongRequest: return "over_long_request";
    case Cause::unreadAnswers: return "unread_answers";
    case Cause::requestBudget: return "request_budget";
    case Cause::httpRequest: return "http_request";
    case Cause::error: return "error";
    }
    return "error";
}
