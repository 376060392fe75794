// The baseline of the whole-process figures: a minimal server of NUL-framed requests on
// loopback, one blocking thread per connection. Each complete request is answered at once with
// one reply of a fixed size (the size of kipd's answer), or with the request itself when no size
// is given. It ends by itself after --seconds.
//
//   echo_server [--port PORT] [--reply-bytes N] [--seconds LIMIT]
//
// Its sockets keep the system's defaults, as kipd's do. Prints
// "echo_server: listening on 127.0.0.1:PORT" once it accepts.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

struct Options {
    int port = 3974;
    long replyBytes = 0;  // 0: echo the request
    int seconds = 600;
};

Options parseOptions(int argc, char* argv[])
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--port") == 0)
            options.port = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--reply-bytes") == 0)
            options.replyBytes = std::atol(argv[i + 1]);
        else if (std::strcmp(argv[i], "--seconds") == 0)
            options.seconds = std::atoi(argv[i + 1]);
    }
    return options;
}

bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t written = ::send(fd, data, size, MSG_NOSIGNAL);
        if (written <= 0)
            return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// A reply of `bytes` bytes: a JSON-looking text padded with blanks, ended by the NUL.
std::string fixedReply(long bytes)
{
    std::string reply = "{\"type\": \"echo\"}";
    if (static_cast<long>(reply.size()) + 1 > bytes)
        reply.resize(bytes > 1 ? static_cast<std::size_t>(bytes - 1) : 0);
    reply.append(static_cast<std::size_t>(bytes - 1) - reply.size(), ' ');
    reply.push_back('\0');
    return reply;
}

// Serves one connection until the peer goes: answers every NUL-terminated request.
void serveConnection(int fd, const std::string& reply)
{
    std::string pending;
    char buffer[4096];
    for (;;) {
        ssize_t received = ::recv(fd, buffer, sizeof buffer, 0);
        if (received <= 0)
            break;
        pending.append(buffer, static_cast<std::size_t>(received));
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find('\0', start)) != std::string::npos; start = end + 1) {
            bool sent = reply.empty() ? writeAll(fd, pending.data() + start, end - start + 1)
                                      : writeAll(fd, reply.data(), reply.size());
            if (!sent) {
                ::close(fd);
                return;
            }
        }
        pending.erase(0, start);
    }
    ::close(fd);
}

int listenOnLoopback(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<unsigned short>(port));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 1024) != 0) {
        std::perror("echo_server: bind/listen");
        std::exit(1);
    }
    return fd;
}

int boundPort(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

}  // namespace

int main(int argc, char* argv[])
{
    const Options options = parseOptions(argc, argv);
    const std::string reply = options.replyBytes > 0 ? fixedReply(options.replyBytes) : std::string();
    const int listener = listenOnLoopback(options.port);
    std::printf("echo_server: listening on 127.0.0.1:%d\n", boundPort(listener));
    std::fflush(stdout);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd waiting{listener, POLLIN, 0};
        if (::poll(&waiting, 1, 200) <= 0)
            continue;
        int connection = ::accept(listener, nullptr, nullptr);
        if (connection < 0)
            continue;
        std::thread(serveConnection, connection, reply).detach();
    }
    return 0;
}
