#include "transport/FlowGate.h"

FlowGate::FlowGate(std::size_t highMark, std::size_t lowMark, std::size_t unfinishedBudget)
    : highMark(highMark), lowMark(lowMark), unfinishedBudget(unfinishedBudget)
{
}

void FlowGate::changeClients(int delta)
{
    std::lock_guard<std::mutex> guard(lock);
    clients = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(clients) + delta);
}

bool FlowGate::eased(bool& flag, std::size_t value) const
{
    if (value > highMark) {
        flag = true;
    } else if (flag && value < lowMark) {
        flag = false;
        return true;
    }
    return false;
}

void FlowGate::changeHostBytes(std::ptrdiff_t delta)
{
    bool opened;
    {
        std::lock_guard<std::mutex> guard(lock);
        bytes = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(bytes) + delta);
        opened = eased(hostOverMark, bytes);
    }
    if (opened)
        wakeAll();
}

void FlowGate::changeAnswerBytes(std::ptrdiff_t delta)
{
    bool opened;
    {
        std::lock_guard<std::mutex> guard(lock);
        answerBytes = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(answerBytes) + delta);
        opened = eased(answersOver, answerBytes);
    }
    if (opened)
        wakeAll();
}

void FlowGate::linkBackedUp(bool backedUp)
{
    bool opened;
    {
        std::lock_guard<std::mutex> guard(lock);
        backedUpLinks += backedUp ? 1 : -1;
        if (backedUp && backedUpLinks == 1)
            ++backups;
        opened = !backedUp && backedUpLinks == 0;
    }
    if (opened)
        wakeAll();
}

bool FlowGate::changeUnfinishedBytes(std::ptrdiff_t delta, std::size_t connectionBytes)
{
    std::lock_guard<std::mutex> guard(lock);
    unfinishedBytes = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(unfinishedBytes) + delta);
    return unfinishedBytes > unfinishedBudget && connectionBytes > shareLocked(unfinishedBudget);
}

bool FlowGate::wait(std::size_t connectionBytes, std::weak_ptr<Waiter> waiter)
{
    std::lock_guard<std::mutex> guard(lock);
    if (!hostOverMark || connectionBytes <= shareLocked(highMark))
        return false;
    rememberLocked(std::move(waiter));
    return true;
}

std::size_t FlowGate::queueShare() const
{
    std::lock_guard<std::mutex> guard(lock);
    return shareLocked(flowlimits::queuedRequestsBudget);
}

unsigned long FlowGate::backup() const
{
    std::lock_guard<std::mutex> guard(lock);
    return backedUpLinks > 0 ? backups : 0;
}

bool FlowGate::holdTurns(std::size_t answers, unsigned long sentDuring, std::weak_ptr<Waiter> waiter)
{
    std::lock_guard<std::mutex> guard(lock);
    const bool hold = (answersOver && answers > shareLocked(highMark)) ||
                      (backedUpLinks > 0 && sentDuring == backups);
    if (hold && !waiter.expired())
        rememberLocked(std::move(waiter));
    return hold;
}

// Once each: a connection may ask again before a bound eases.
void FlowGate::rememberLocked(std::weak_ptr<Waiter> waiter)
{
    for (const std::weak_ptr<Waiter>& known : waiters)
        if (!known.owner_before(waiter) && !waiter.owner_before(known))
            return;
    waiters.push_back(std::move(waiter));
}

void FlowGate::wakeAll()
{
    std::vector<std::weak_ptr<Waiter>> woken;
    {
        std::lock_guard<std::mutex> guard(lock);
        woken.swap(waiters);
    }
    for (const std::weak_ptr<Waiter>& waiter : woken)
        if (std::shared_ptr<Waiter> alive = waiter.lock())
            alive->gateOpened();
}
