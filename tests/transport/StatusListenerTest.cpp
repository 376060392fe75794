#include "transport/StatusListener.h"

#include "support/EventLoopThread.h"
#include "support/LogCapture.h"
#include "support/Wait.h"

#include <gtest/gtest.h>
#include <boost/asio/post.hpp>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <cstdlib>
#include <future>

namespace {
struct Client {
    explicit Client(const std::string& path) : fd(::socket(AF_UNIX, SOCK_STREAM, 0))
    {
        timeval limit{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(fd); }
    // Everything up to the end; with `now`, only what is there already, and "+" once at the end.
    std::string read(bool now = false)
    {
        std::string text;
        char chunk[65536];
        for (;;) {
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, now ? MSG_DONTWAIT : 0);
            if (n <= 0)
                return n == 0 ? text + "+" : text;
            text.append(chunk, static_cast<std::size_t>(n));
        }
    }

    int fd;
    bool connected = false;
};

class StatusListenerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char folderTemplate[] = "/tmp/kipd-status-XXXXXX";
        folder = ::mkdtemp(folderTemplate);
        path = folder + "/status";
    }
    void TearDown() override
    {
        loop.stop();
        ::unlink(path.c_str());
        ::rmdir(folder.c_str());
    }
    // What the event loop did for the test; a loop that does nothing for 5 s ends the run.
    template <typename T>
    static T onLoop(std::future<T> done)
    {
        if (done.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "the event loop did not run the test's work";
            std::abort();
        }
        return done.get();
    }
    // Opened on the event loop, which owns the listener.
    std::shared_ptr<StatusListener> open(const std::string& at, StatusListener::Report report,
                                         StatusLimits limits = StatusLimits())
    {
        std::promise<std::shared_ptr<StatusListener>> opened;
        boost::asio::post(loop.io(), [&] { opened.set_value(StatusListener::open(loop.io(), at, report, limits)); });
        return onLoop(opened.get_future());
    }
    void close(std::shared_ptr<StatusListener>& listener)
    {
        std::promise<void> closed;
        boost::asio::post(loop.io(), [&] {
            listener.reset();
            closed.set_value();
        });
        onLoop(closed.get_future());
    }

    EventLoopThread loop;
    std::string folder;
    std::string path;
};

std::string notOpened(const std::string& path, const std::string& reason)
{
    return LogCapture::record(2, "No status socket, " + reason + ": " + path);
}
}  // namespace

TEST_F(StatusListenerTest, RefusesABadPathWithOneRecordEachAndReplacesAStaleSocket)
{
    LogCapture capture;
    const std::string tooLong = folder + "/" + std::string(108 - folder.size(), 's');
    EXPECT_FALSE(open(tooLong, [] { return "-"; }));
    EXPECT_FALSE(open(folder + "/missing/status", [] { return "-"; }));
    std::ofstream(folder + "/file") << "kept";
    EXPECT_FALSE(open(folder + "/file", [] { return "-"; }));
    EXPECT_EQ(std::ifstream(folder + "/file").get(), 'k');
    ::unlink((folder + "/file").c_str());

    // A socket left by a process that has gone is replaced; one that is served is not.
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(stale);
    std::shared_ptr<StatusListener> first = open(path, [] { return "{\"first\":true}"; });
    ASSERT_TRUE(first);
    EXPECT_FALSE(open(path, [] { return "-"; }));
    EXPECT_EQ(Client(path).read(), "{\"first\":true}\n+");
    struct stat file;
    ASSERT_EQ(::stat(path.c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 0777, 0666u);  // every local user may connect

    EXPECT_EQ(capture.all(), (std::vector<std::string>{
                                 notOpened(tooLong, "the path is longer than 107 bytes"),
                                 notOpened(folder + "/missing/status", "its folder does not exist"),
                                 notOpened(folder + "/file", "the file there is not a socket"),
                                 notOpened(path, "another process serves it")}));
    close(first);
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

TEST_F(StatusListenerTest, ClientsThatNeverReadAreCutOffAndHoldOnlyTheirSlots)
{
    const std::string line(4 << 20, 'x');  // more than a socket buffer holds
    std::atomic<int> reports{0};
    std::shared_ptr<StatusListener> listener = open(
        path,
        [&] {
            ++reports;
            return line;
        },
        StatusLimits{2, std::chrono::seconds(1)});
    ASSERT_TRUE(listener);
    Client idle1(path), idle2(path);
    ASSERT_TRUE(waitUntil([&] { return reports == 2; }));
    // Served once a slot is free: by then a client that did not read has been cut off.
    Client reader(path);
    EXPECT_EQ(reader.read(), line + "\n+");
    for (Client* idle : {&idle1, &idle2}) {
        const std::string part = idle->read(true);
        EXPECT_LT(part.size(), line.size());
        EXPECT_EQ(part.back(), '+');
    }
    close(listener);
}
