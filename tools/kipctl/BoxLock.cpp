#include "BoxLock.h"

#include "History.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

namespace {
constexpr std::chrono::milliseconds retryEvery{50};
// The holder names itself right after it takes the lock.
constexpr std::chrono::milliseconds namingTime{1000};
}  // namespace

BoxLock::BoxLock(const std::string& path, std::chrono::milliseconds wait) : path(path)
{
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        throw HistoryError(path + ": cannot make the lock file: " + std::strerror(errno));
    const Clock::time_point deadline = Clock::now() + wait;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            std::string why = std::strerror(errno);
            ::close(fd);
            throw HistoryError(path + ": cannot lock: " + why);
        }
        if (Clock::now() >= deadline) {
            std::string who = holder();
            ::close(fd);
            throw BoxBusy(who);
        }
        std::this_thread::sleep_for(retryEvery);
    }
    std::string me = userName() + " on " + hostName() + ", since " + timeNow() + " (process " +
                     std::to_string(::getpid()) + ")";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, me.data(), me.size(), 0) != static_cast<ssize_t>(me.size())) {
        std::string why = std::strerror(errno);
        ::close(fd);
        throw HistoryError(path + ": cannot write the lock file: " + why);
    }
}

BoxLock::~BoxLock()
{
    if (::ftruncate(fd, 0) != 0) {
        // The next holder writes its own name over it.
    }
    ::close(fd);
}

std::string BoxLock::holder() const
{
    const Clock::time_point deadline = Clock::now() + namingTime;
    for (;;) {
        char text[512];
        ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
        if (n > 0)
            return std::string(text, static_cast<std::size_t>(n));
        if (Clock::now() >= deadline)
            return "a holder that has not named itself";
        std::this_thread::sleep_for(retryEvery);
    }
}
