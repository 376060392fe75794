#include "transport/ClientAccount.h"

namespace {
// Whether a count that went down by `step` to `after` has just come to or below `mark`.
bool crossedBelow(std::size_t after, std::size_t step, std::size_t mark)
{
    return after == 0 || (after < mark && after + step >= mark);
}

std::ptrdiff_t signedBytes(std::size_t bytes) { return static_cast<std::ptrdiff_t>(bytes); }
}  // namespace

ClientAccount::~ClientAccount()
{
    if (!gate)
        return;
    leave();
    if (outstandingBytes > 0)
        gate->changeHostBytes(-signedBytes(outstandingBytes));
    if (answerBytes > 0)
        gate->changeAnswerBytes(-signedBytes(answerBytes));
    if (unfinishedBytes > 0)
        gate->changeUnfinishedBytes(-signedBytes(unfinishedBytes));
}

void ClientAccount::join()
{
    if (gate && !joined.exchange(true))
        gate->changeClients(1);
}

void ClientAccount::leave()
{
    if (gate && joined.exchange(false))
        gate->changeClients(-1);
}

void ClientAccount::take(std::size_t bytes)
{
    outstandingBytes += bytes;
    if (gate)
        gate->changeHostBytes(signedBytes(bytes));
}

bool ClientAccount::give(std::size_t bytes)
{
    if (bytes == 0)
        return false;
    const std::size_t after = outstandingBytes -= bytes;
    if (gate)
        gate->changeHostBytes(-signedBytes(bytes));
    return crossedBelow(after, bytes, flowlimits::connectionLowMark);
}

void ClientAccount::answersQueued(std::size_t bytes)
{
    answerBytes += bytes;
    if (gate)
        gate->changeAnswerBytes(signedBytes(bytes));
    take(bytes);
}

ClientAccount::Eased ClientAccount::answersGone(std::size_t bytes)
{
    Eased eased;
    if (bytes == 0)
        return eased;
    const std::size_t after = answerBytes -= bytes;
    if (gate)
        gate->changeAnswerBytes(-signedBytes(bytes));
    eased.reading = give(bytes);
    eased.requests = crossedBelow(after, bytes, flowlimits::connectionLowMark);
    return eased;
}

bool ClientAccount::unfinishedIs(std::size_t bytes)
{
    const std::size_t before = unfinishedBytes.exchange(bytes);
    return gate && gate->changeUnfinishedBytes(signedBytes(bytes) - signedBytes(before), bytes);
}

bool ClientAccount::readingMustWait(const std::weak_ptr<FlowGate::Waiter>& waiter) const
{
    // Coming down to the low mark resumes reading (requestsGone, answersGone).
    return outstandingBytes > flowlimits::connectionHighMark || (gate && gate->wait(outstandingBytes, waiter));
}

bool ClientAccount::requestsMustWait(const std::weak_ptr<FlowGate::Waiter>& waiter) const
{
    return answerBytes > flowlimits::connectionHighMark ||
           (gate && gate->holdTurns(answerBytes, sentDuringBackup, waiter));
}

void ClientAccount::handedOver(unsigned long daemonSendsBefore)
{
    sentDuringBackup = gate && gate->linkSendCount() != daemonSendsBefore ? gate->backup() : 0;
}
