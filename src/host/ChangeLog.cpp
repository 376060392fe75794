#include "host/ChangeLog.h"

std::uint64_t ChangeLog::record(const std::string& client, const std::string& type, const std::string& mac)
{
    changes.push_back(Change{std::chrono::system_clock::now(), client.substr(0, textLength),
                             type.substr(0, textLength), mac.substr(0, textLength), pendingText});
    if (changes.size() > kept) {
        changes.pop_front();
        ++firstNumber;
    }
    publish();
    return firstNumber + changes.size() - 1;
}

void ChangeLog::settle(std::uint64_t number, const std::string& error)
{
    if (number < firstNumber || number - firstNumber >= changes.size())
        return;
    Change& change = changes[number - firstNumber];
    if (change.result != pendingText)
        return;
    change.result = error.empty() ? okText : error.substr(0, textLength);
    publish();
}

ChangeLog::Changes ChangeLog::recent() const
{
    std::shared_ptr<const Changes> latest = published.latest();
    return latest ? *latest : Changes();
}

void ChangeLog::publish() { published.publish(changes); }
