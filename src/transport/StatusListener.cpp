#include "transport/StatusListener.h"

#include "log/Log.h"

#include <boost/asio/write.hpp>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
// The reason first: a long path is what the record's length bound cuts.
const char* const notOpenedLog = "No status socket, %s: %s";
// Room for the path in a socket address, less its terminating NUL.
constexpr std::size_t longestPath = sizeof(sockaddr_un::sun_path) - 1;
constexpr int statusBacklog = 16;
constexpr std::chrono::seconds acceptRetry(1);

// Whether a process accepts connections at `path`: it connects, or its backlog is full.
bool someoneListensAt(const std::string& path)
{
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return true;  // cannot tell: the file is left alone
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    const bool listening = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
                           errno == EAGAIN || errno == EINPROGRESS;
    ::close(probe);
    return listening;
}

// One connection's line: written whole, or cut off when the time is up.
struct Reply : std::enable_shared_from_this<Reply> {
    Reply(std::shared_ptr<boost::asio::local::stream_protocol::socket> socket, std::string text,
          std::function<void()> onDone)
        : socket(std::move(socket)), timer(this->socket->get_executor()), text(std::move(text)), onDone(std::move(onDone))
    {
    }

    void start(std::chrono::milliseconds writeTime)
    {
        timer.expires_after(writeTime);
        timer.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
            if (!error)
                self->finish();
        });
        boost::asio::async_write(*socket, boost::asio::buffer(text),
            [self = shared_from_this()](const boost::system::error_code&, std::size_t) { self->finish(); });
    }

    void finish()
    {
        if (done)
            return;
        done = true;
        timer.cancel();
        boost::system::error_code ignored;
        socket->close(ignored);
        onDone();
    }

    std::shared_ptr<boost::asio::local::stream_protocol::socket> socket;
    boost::asio::steady_timer timer;
    std::string text;
    std::function<void()> onDone;
    bool done = false;
};
}  // namespace

StatusListener::StatusListener(boost::asio::io_context& ioContext, std::string path, Report report, Limits limits)
    : ioContext(ioContext), path(std::move(path)), report(std::move(report)), limits(limits), acceptor(ioContext),
      retryTimer(ioContext)
{
}

std::shared_ptr<StatusListener> StatusListener::open(boost::asio::io_context& ioContext, const std::string& path,
                                                     Report report, Limits limits)
{
    std::shared_ptr<StatusListener> listener(new StatusListener(ioContext, path, std::move(report), limits));
    const std::string problem = listener->listen();
    if (!problem.empty()) {
        log(2, notOpenedLog, problem.c_str(), path.c_str());
        return nullptr;
    }
    listener->startAccept();
    return listener;
}

StatusListener::~StatusListener()
{
    boost::system::error_code ignored;
    acceptor.close(ignored);
    struct stat file;
    if (inode != 0 && ::lstat(path.c_str(), &file) == 0 && file.st_dev == device && file.st_ino == inode)
        ::unlink(path.c_str());
}

std::string StatusListener::listen()
{
    if (path.size() > longestPath)
        return "the path is longer than " + std::to_string(longestPath) + " bytes";
    boost::system::error_code error = bindAt();
    struct stat file;
    if (error == boost::asio::error::address_in_use) {
        if (::lstat(path.c_str(), &file) == 0 && !S_ISSOCK(file.st_mode))
            return "the file there is not a socket";
        if (someoneListensAt(path))
            return "another process serves it";
        ::unlink(path.c_str());  // left by a process that has gone
        error = bindAt();
    }
    if (error.value() == ENOENT || error.value() == ENOTDIR)
        return "its folder does not exist";
    if (error)
        return error.message();
    // Connecting takes write permission on the socket file: every local user gets it.
    if (::chmod(path.c_str(), 0666) != 0 || ::lstat(path.c_str(), &file) != 0)
        return std::strerror(errno);
    device = file.st_dev;
    inode = file.st_ino;
    acceptor.listen(statusBacklog, error);
    return error ? error.message() : std::string();
}

boost::system::error_code StatusListener::bindAt()
{
    boost::system::error_code error;
    acceptor.close(error);
    acceptor.open(boost::asio::local::stream_protocol(), error);
    if (!error)
        acceptor.bind(boost::asio::local::stream_protocol::endpoint(path), error);
    return error;
}

void StatusListener::startAccept()
{
    if (accepting || active >= limits.connections)
        return;
    accepting = true;
    auto socket = std::make_shared<Socket>(ioContext);
    acceptor.async_accept(*socket, [weak = weak_from_this(), socket](const boost::system::error_code& error) {
        if (std::shared_ptr<StatusListener> listener = weak.lock())
            listener->handleAccept(socket, error);
    });
}

void StatusListener::handleAccept(const std::shared_ptr<Socket>& socket, const boost::system::error_code& error)
{
    accepting = false;
    if (error == boost::asio::error::operation_aborted)
        return;
    if (error) {
        // Out of descriptors, most likely: try again in a while rather than spin.
        retryTimer.expires_after(acceptRetry);
        retryTimer.async_wait([weak = weak_from_this()](const boost::system::error_code& e) {
            std::shared_ptr<StatusListener> listener = weak.lock();
            if (!e && listener)
                listener->startAccept();
        });
        return;
    }
    serve(socket);
    startAccept();
}

void StatusListener::serve(const std::shared_ptr<Socket>& socket)
{
    ++active;
    auto reply = std::make_shared<Reply>(socket, report() + "\n", [weak = weak_from_this()] {
        if (std::shared_ptr<StatusListener> listener = weak.lock())
            listener->served();
    });
    reply->start(limits.writeTime);
}

void StatusListener::served()
{
    --active;
    startAccept();
}
