#include "StatusCommand.h"

#include "TerminalText.h"

#include "Client.h"
#include "Json.h"
#include "StatusSummary.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace status {
namespace {

// A report is some 10 KiB; anything far longer is not kipd's.
constexpr std::size_t longestReport = 1 << 20;

using Clock = std::chrono::steady_clock;

struct Failure {
    int exitStatus;
    std::string text;
};

// C0 controls, DEL and C1 controls (U+0080 to U+009F, two bytes in UTF-8) as visible escapes.
// Every line `kipctl status` prints comes through here: the report carries texts from the
// network (errors, traffic, names), which must not reach the terminal as controls.
void printLine(std::ostream& out, const std::string& line)
{
    out << terminalText(line) << '\n';
}

std::string socketPath(const std::string& option)
{
    if (!option.empty())
        return option;
    const char* environment = std::getenv("KIPD_STATUS_SOCKET");
    return environment && *environment ? environment : defaultSocket;
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    const int fd;
};

void connectTo(const Descriptor& socket, const std::string& path, std::chrono::milliseconds timeout)
{
    const std::string unreachable = "cannot reach kipd's status at " + path + ": ";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw Failure{connectionFailed, unreachable + "the path is longer than " +
                                            std::to_string(sizeof address.sun_path - 1) + " bytes"};
    std::memcpy(address.sun_path, path.data(), path.size());
    if (socket.fd < 0)
        throw Failure{connectionFailed, unreachable + std::strerror(errno)};
    // A full backlog (kipd serves 8 at once) holds a blocking connect for at most this long.
    timeval limit{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    ::setsockopt(socket.fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (::connect(socket.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == EAGAIN || errno == EINPROGRESS)
            throw Failure{timedOut, "no status from kipd at " + path + " in time"};
        throw Failure{connectionFailed, unreachable + std::strerror(errno)};
    }
}

// kipd writes one line and closes the connection.
std::string readReport(const std::string& path, std::chrono::milliseconds timeout)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    Descriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    connectTo(socket, path, timeout);
    std::string report;
    char chunk[16384];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd entry{socket.fd, POLLIN, 0};
        const int ready = left > 0 ? ::poll(&entry, 1, static_cast<int>(left)) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            throw Failure{timedOut, "no status from kipd at " + path + " in time"};
        const ssize_t n = ::recv(socket.fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw Failure{connectionFailed, "cannot read kipd's status at " + path + ": " + std::strerror(errno)};
        if (n == 0)
            return report;
        report.append(chunk, static_cast<std::size_t>(n));
        if (report.size() > longestReport)
            throw Failure{connectionFailed, "unreadable status from kipd at " + path + ": longer than 1 MiB"};
    }
}

JsonValue parsed(const std::string& report, const std::string& path)
{
    const std::string unreadable = "unreadable status from kipd at " + path + ": ";
    if (report.empty() || report.find('\n') != report.size() - 1)
        throw Failure{connectionFailed, unreadable + "not one line"};
    try {
        JsonValue value = parseJson(report);
        if (value.kind != JsonValue::Kind::object)
            throw Failure{connectionFailed, unreadable + "not a JSON object"};
        return value;
    } catch (const JsonSyntaxError& error) {
        throw Failure{connectionFailed, unreadable + error.what() + " at column " + std::to_string(error.column)};
    }
}

}  // namespace

int run(const StatusOptions& options)
{
    const std::string path = socketPath(options.socket);
    try {
        const std::string report = readReport(path, options.timeout);
        const JsonValue value = parsed(report, path);
        if (options.json)
            std::cout << report;  // as kipd wrote it, like every --json of kipctl
        else
            for (const std::string& line : summary(value, options.history, std::time(nullptr)))
                printLine(std::cout, line);
        return linksUp(value) ? ok : linkDown;
    } catch (const Failure& failure) {
        printLine(std::cerr, "kipctl: " + failure.text);
        return failure.exitStatus;
    }
}

}  // namespace status
