#include "transport/LinkHealth.h"

#include <algorithm>

void LinkHealth::connected()
{
    if (everConnected)
        ++reconnects;
    everConnected = true;
    up = true;
    since = std::chrono::system_clock::now();
}

void LinkHealth::lost()
{
    if (!up)
        return;
    up = false;
    since = std::chrono::system_clock::now();
}

void LinkHealth::failed(const std::string& error)
{
    lastError = error;
    lastErrorAt = std::chrono::system_clock::now();
}

void LinkHealth::received(const std::string& chunk)
{
    bytesReceived += chunk.size();
    messagesReceived += static_cast<std::uint64_t>(std::count(chunk.begin(), chunk.end(), '\0'));
}

LinkHealth::Figures LinkHealth::figures() const
{
    Figures figures;
    figures.connected = up;
    figures.since = since;
    figures.reconnects = reconnects;
    figures.messagesSent = messagesSent;
    figures.bytesSent = bytesSent;
    figures.messagesReceived = messagesReceived;
    figures.bytesReceived = bytesReceived;
    figures.lastError = lastError;
    figures.lastErrorAt = lastErrorAt;
    return figures;
}
