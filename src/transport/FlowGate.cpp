#include "transport/FlowGate.h"

FlowGate::FlowGate(std::size_t highMark, std::size_t lowMark) : highMark(highMark), lowMark(lowMark) {}

bool FlowGate::isOpen() const
{
    std::lock_guard<std::mutex> guard(lock);
    return openLocked();
}

std::size_t FlowGate::hostBytes() const
{
    std::lock_guard<std::mutex> guard(lock);
    return bytes;
}

void FlowGate::changeHostBytes(std::ptrdiff_t delta)
{
    std::vector<std::weak_ptr<Waiter>> woken;
    {
        std::lock_guard<std::mutex> guard(lock);
        const bool wasOpen = openLocked();
        bytes = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(bytes) + delta);
        if (bytes > highMark)
            hostOverMark = true;
        else if (bytes < lowMark)
            hostOverMark = false;
        woken = takeWaitersIfOpened(wasOpen);
    }
    wake(woken);
}

void FlowGate::linkBackedUp(bool backedUp)
{
    std::vector<std::weak_ptr<Waiter>> woken;
    {
        std::lock_guard<std::mutex> guard(lock);
        const bool wasOpen = openLocked();
        backedUpLinks += backedUp ? 1 : -1;
        woken = takeWaitersIfOpened(wasOpen);
    }
    wake(woken);
}

bool FlowGate::wait(std::weak_ptr<Waiter> waiter)
{
    std::lock_guard<std::mutex> guard(lock);
    if (openLocked())
        return false;
    waiters.push_back(std::move(waiter));
    return true;
}

void FlowGate::changeAnswerBytes(std::ptrdiff_t delta)
{
    std::vector<std::weak_ptr<Waiter>> woken;
    {
        std::lock_guard<std::mutex> guard(lock);
        answerBytes = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(answerBytes) + delta);
        if (answerBytes > highMark) {
            answersOver = true;
        } else if (answersOver && answerBytes < lowMark) {
            answersOver = false;
            woken.swap(waiters);
        }
    }
    wake(woken);
}

bool FlowGate::answersOverMark() const
{
    std::lock_guard<std::mutex> guard(lock);
    return answersOver;
}

bool FlowGate::waitForAnswerRoom(std::weak_ptr<Waiter> waiter)
{
    std::lock_guard<std::mutex> guard(lock);
    if (!answersOver)
        return false;
    waiters.push_back(std::move(waiter));
    return true;
}

std::vector<std::weak_ptr<FlowGate::Waiter>> FlowGate::takeWaitersIfOpened(bool wasOpen)
{
    std::vector<std::weak_ptr<Waiter>> woken;
    if (!wasOpen && openLocked())
        woken.swap(waiters);
    return woken;
}

void FlowGate::wake(const std::vector<std::weak_ptr<Waiter>>& waiters)
{
    for (const std::weak_ptr<Waiter>& waiter : waiters)
        if (std::shared_ptr<Waiter> alive = waiter.lock())
            alive->gateOpened();
}
