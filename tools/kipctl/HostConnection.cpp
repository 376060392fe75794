#include "HostConnection.h"

#include "wire/HostReplyTexts.h"
#include "wire/JsonNesting.h"

#include <boost/property_tree/json_parser.hpp>

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

namespace {
UnreadableReply tooLong()
{
    return UnreadableReply("longer than " + std::to_string(NulFramer::pendingLimit) + " bytes");
}

int connectWithin(const addrinfo* address, Clock::time_point deadline)
{
    int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK, address->ai_protocol);
    if (fd < 0)
        return -1;
    if (::connect(fd, address->ai_addr, address->ai_addrlen) == 0)
        return fd;
    if (errno == EINPROGRESS) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd entry{fd, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        if (left > 0 && ::poll(&entry, 1, static_cast<int>(left)) == 1 &&
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)
            return fd;
        errno = error ? error : ETIMEDOUT;
    }
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
}
}  // namespace

HostConnection::HostConnection(const std::string& host, int port, std::chrono::milliseconds timeout)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    int status = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &addresses);
    if (status != 0)
        throw ConnectionError(ConnectionError::Kind::refused, "cannot resolve " + host + ": " + gai_strerror(status));
    Clock::time_point deadline = Clock::now() + timeout;
    int error = ECONNREFUSED;
    for (addrinfo* address = addresses; address && fd < 0; address = address->ai_next) {
        fd = connectWithin(address, deadline);
        if (fd < 0)
            error = errno;
    }
    ::freeaddrinfo(addresses);
    if (fd >= 0)
        acknowledgeAtOnce();
    if (fd < 0) {
        auto kind = error == ETIMEDOUT ? ConnectionError::Kind::timedOut : ConnectionError::Kind::refused;
        throw ConnectionError(kind, "cannot connect to kipd at " + host + ":" + std::to_string(port) + ": " +
                                        std::strerror(error));
    }
}

// kipd sends the reports of a search one small write after another, and each waits until the last
// is acknowledged (Nagle): an acknowledgement held back for 40 ms would hold up the next report
// longer than a short quiet spell. Linux forgets the setting after a while, so it is set again.
void HostConnection::acknowledgeAtOnce()
{
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

HostConnection::~HostConnection()
{
    if (fd >= 0)
        ::close(fd);
}

void HostConnection::send(const boost::property_tree::ptree& request)
{
    std::ostringstream text;
    boost::property_tree::write_json(text, request, false);
    std::string bytes = text.str();
    bytes.push_back('\0');
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EAGAIN && waitWritable())
            continue;
        if (n <= 0)
            throw ConnectionError(ConnectionError::Kind::closed, "kipd closed the connection");
        sent += static_cast<std::size_t>(n);
    }
}

bool HostConnection::waitWritable()
{
    pollfd entry{fd, POLLOUT, 0};
    return ::poll(&entry, 1, 5000) == 1;
}

// A signal that only marks an apply as interrupted does not cut the wait short.
bool HostConnection::waitReadable(Clock::time_point deadline)
{
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd entry{fd, POLLIN, 0};
        int ready = left > 0 ? ::poll(&entry, 1, static_cast<int>(left)) : 0;
        if (ready >= 0 || errno != EINTR)
            return ready == 1;
    }
}

boost::property_tree::ptree HostConnection::receive(std::chrono::milliseconds limit)
{
    Clock::time_point deadline = Clock::now() + limit;
    while (!framer.next(last)) {
        if (framer.overflowed())
            throw tooLong();
        if (!waitReadable(deadline))
            throw ConnectionError(ConnectionError::Kind::timedOut, "no answer from kipd");
        char chunk[4096];
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        acknowledgeAtOnce();
        if (n <= 0)
            throw ConnectionError(ConnectionError::Kind::closed, "kipd closed the connection");
        framer.append(std::string_view(chunk, static_cast<std::size_t>(n)));
    }
    if (last.size() > NulFramer::pendingLimit)
        throw tooLong();
    // The JSON reader recurses once per level.
    if (nestsTooDeep(last))
        throw UnreadableReply(hostreply::tooDeepMessage);
    if (holdsTooManyValues(last))
        throw UnreadableReply(hostreply::tooManyValuesMessage);
    std::istringstream text(last);
    boost::property_tree::ptree reply;
    try {
        boost::property_tree::read_json(text, reply);
    } catch (const boost::property_tree::json_parser_error& error) {
        throw UnreadableReply(error.message());
    }
    return reply;
}
