// The client of the whole-process figures: speaks NUL-framed JSON requests to kipd (or to the
// echo server) over loopback and prints one line of key=value figures per measurement.
//
//   load_driver probe      --port P [--request JSON]
//   load_driver latency    --target NAME=PORT [--target NAME=PORT ...] [--rounds R] [--per-round K]
//                          [--warmup W] [--request JSON]
//   load_driver throughput --port P --clients C [--seconds S] [--warmup-seconds W] [--request JSON]
//   load_driver idle       --port P --connections N [--hold S] [--pid PID] [--request JSON]
//   load_driver devices    --port P [--refresh true|false] [--expect N] [--quiet-ms Q] [--limit S]
//   load_driver cpu        --pid PID [--seconds S]
//   load_driver memory     --pid PID
//
// Every loop is bounded in count and in time; every wait has a limit.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const char* const defaultRequest = "{\"type\": \"has_corvanet_system\"}";
constexpr int replyTimeoutMs = 10000;

// ---- options -------------------------------------------------------------------------------

class Options {
public:
    Options(int argc, char* argv[])
    {
        for (int i = 2; i + 1 < argc; i += 2)
            values.emplace(argv[i], argv[i + 1]);
    }
    std::string text(const std::string& name, const std::string& fallback) const
    {
        auto found = values.find(name);
        return found == values.end() ? fallback : found->second;
    }
    long number(const std::string& name, long fallback) const
    {
        auto found = values.find(name);
        return found == values.end() ? fallback : std::atol(found->second.c_str());
    }
    std::vector<std::string> all(const std::string& name) const
    {
        std::vector<std::string> result;
        auto range = values.equal_range(name);
        for (auto it = range.first; it != range.second; ++it)
            result.push_back(it->second);
        return result;
    }

private:
    std::multimap<std::string, std::string> values;
};

// ---- figures -------------------------------------------------------------------------------

double microsecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// The value below which the fraction `p` of the samples lie (nearest rank).
double percentile(std::vector<double> samples, double p)
{
    if (samples.empty())
        return 0.0;
    std::sort(samples.begin(), samples.end());
    std::size_t rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(samples.size())));
    return samples[std::min(samples.size() - 1, rank > 0 ? rank - 1 : 0)];
}

struct ProcessTimes {
    long ticks = -1;  // user + system time in clock ticks, -1 when unreadable
};

ProcessTimes readTimes(long pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ProcessTimes times;
    std::string::size_type end = text.rfind(')');
    if (end == std::string::npos)
        return times;
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    // Fields from the state (3rd) on; utime and stime are the 14th and 15th.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14)
            utime = std::atol(field.c_str());
        if (number == 15)
            stime = std::atol(field.c_str());
    }
    times.ticks = utime + stime;
    return times;
}

// A "Vm..." line of /proc/<pid>/status in KiB, -1 when absent.
long statusKib(long pid, const std::string& key)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(file, line))
        if (line.compare(0, key.size() + 1, key + ":") == 0)
            return std::atol(line.c_str() + key.size() + 1);
    return -1;
}

void printMemory(const char* label, long pid)
{
    std::printf("%s pid=%ld rss_kib=%ld hwm_kib=%ld\n", label, pid, statusKib(pid, "VmRSS"),
                statusKib(pid, "VmHWM"));
}

// ---- connections ---------------------------------------------------------------------------

int connectLoopback(int port, int limitMs = 5000)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<unsigned short>(port));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return fd;
        }
        ::close(fd);
        if (Clock::now() > deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool sendAll(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t written = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (written <= 0)
            return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// One client connection: requests out, NUL-terminated replies in.
class Connection {
public:
    explicit Connection(int port) : fd(connectLoopback(port)) {}
    ~Connection()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool ok() const { return fd >= 0; }
    int descriptor() const { return fd; }
    bool send(const std::string& request) { return sendAll(fd, request + '\0'); }

    // The next reply without its NUL; false on timeout, error or end of stream.
    bool receive(std::string& reply, int timeoutMs = replyTimeoutMs)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            std::string::size_type end = pending.find('\0');
            if (end != std::string::npos) {
                reply.assign(pending, 0, end);
                pending.erase(0, end + 1);
                return true;
            }
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            if (left <= 0 || !readMore(left))
                return false;
        }
    }

    bool roundTrip(const std::string& request, std::string& reply) { return send(request) && receive(reply); }

private:
    bool readMore(int timeoutMs)
    {
        pollfd waiting{fd, POLLIN, 0};
        if (::poll(&waiting, 1, timeoutMs) <= 0)
            return false;
        char buffer[65536];
        ssize_t received = ::recv(fd, buffer, sizeof buffer, 0);
        if (received <= 0)
            return false;
        pending.append(buffer, static_cast<std::size_t>(received));
        return true;
    }

    int fd;
    std::string pending;
};

// The "type" member of a reply text, or the empty text.
std::string replyType(const std::string& reply)
{
    static const std::string marker = "\"type\": \"";
    std::string::size_type at = reply.find(marker);
    if (at == std::string::npos)
        return std::string();
    at += marker.size();
    return reply.substr(at, reply.find('"', at) - at);
}

// ---- probe and latency ---------------------------------------------------------------------

int runProbe(const Options& options)
{
    Connection connection(static_cast<int>(options.number("--port", 3971)));
    std::string reply;
    if (!connection.ok() || !connection.roundTrip(options.text("--request", defaultRequest), reply)) {
        std::printf("probe error=no_reply\n");
        return 1;
    }
    // The reply's size on the wire, NUL included.
    std::printf("probe reply_type=%s reply_bytes=%zu\n", replyType(reply).c_str(), reply.size() + 1);
    return 0;
}

struct LatencyTarget {
    std::string name;
    std::unique_ptr<Connection> connection;
    std::vector<double> samples;
    std::size_t replyBytes = 0;
    int errors = 0;
};

void measureRoundTrips(LatencyTarget& target, const std::string& request, long count, bool record)
{
    std::string reply;
    for (long i = 0; i < count && target.errors < 10; ++i) {
        const auto start = Clock::now();
        if (!target.connection->roundTrip(request, reply)) {
            ++target.errors;
            continue;
        }
        if (record)
            target.samples.push_back(microsecondsSince(start));
        target.replyBytes = reply.size() + 1;
    }
}

// Round trips on one connection per target, the targets taking turns round by round so that a
// change of the machine's load touches all of them alike.
int runLatency(const Options& options)
{
    const std::string request = options.text("--request", defaultRequest);
    std::vector<LatencyTarget> targets;
    for (const std::string& nameAndPort : options.all("--target")) {
        LatencyTarget target;
        const std::string::size_type equals = nameAndPort.find('=');
        target.name = nameAndPort.substr(0, equals);
        target.connection = std::make_unique<Connection>(std::atoi(nameAndPort.substr(equals + 1).c_str()));
        if (!target.connection->ok()) {
            std::printf("latency target=%s error=no_connection\n", target.name.c_str());
            return 1;
        }
        targets.push_back(std::move(target));
    }
    for (LatencyTarget& target : targets)
        measureRoundTrips(target, request, options.number("--warmup", 1000), false);
    const long rounds = options.number("--rounds", 20);
    for (long round = 0; round < rounds; ++round)
        for (LatencyTarget& target : targets)
            measureRoundTrips(target, request, options.number("--per-round", 1000), true);

    const double reference = targets.empty() ? 0.0 : percentile(targets.back().samples, 0.5);
    for (const LatencyTarget& target : targets) {
        const double median = percentile(target.samples, 0.5);
        std::printf("latency target=%s samples=%zu errors=%d reply_bytes=%zu median_us=%.1f p90_us=%.1f p99_us=%.1f "
                    "max_us=%.1f median_ratio_to_%s=%.2f\n",
                    target.name.c_str(), target.samples.size(), target.errors, target.replyBytes, median,
                    percentile(target.samples, 0.9), percentile(target.samples, 0.99),
                    percentile(target.samples, 1.0), targets.back().name.c_str(),
                    reference > 0 ? median / reference : 0.0);
    }
    return 0;
}

// ---- many clients at once ------------------------------------------------------------------

// Clients multiplexed on one thread, each with at most one request outstanding.
class ClientSet {
public:
    ClientSet() : poller(::epoll_create1(0)) {}
    ~ClientSet()
    {
        for (Client& client : clients)
            if (client.fd >= 0)
                ::close(client.fd);
        ::close(poller);
    }
    ClientSet(const ClientSet&) = delete;
    ClientSet& operator=(const ClientSet&) = delete;

    // Opens one more client; false when the connection failed.
    bool add(int port)
    {
        int fd = connectLoopback(port);
        if (fd < 0)
            return false;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = clients.size();
        ::epoll_ctl(poller, EPOLL_CTL_ADD, fd, &event);
        clients.push_back(Client{fd, std::string(), Clock::now(), false});
        return true;
    }
    std::size_t size() const { return clients.size(); }
    int descriptor(std::size_t index) const { return clients[index].fd; }

    bool send(std::size_t index, const std::string& request)
    {
        Client& client = clients[index];
        client.sent = Clock::now();
        client.waiting = true;
        return sendAll(client.fd, request + '\0');
    }

    // Waits up to `timeoutMs` for replies; calls done(index, latency_us, type) for each complete
    // one and failed(index) for a client whose connection ended. Returns the number of events.
    template <class Done, class Failed>
    int poll(int timeoutMs, Done done, Failed failed)
    {
        epoll_event events[256];
        int ready = ::epoll_wait(poller, events, 256, timeoutMs);
        for (int i = 0; i < ready; ++i)
            readClient(events[i].data.u64, done, failed);
        return ready;
    }

private:
    struct Client {
        int fd;
        std::string pending;
        Clock::time_point sent;
        bool waiting;
    };

    template <class Done, class Failed>
    void readClient(std::size_t index, Done& done, Failed& failed)
    {
        Client& client = clients[index];
        char buffer[65536];
        ssize_t received = ::recv(client.fd, buffer, sizeof buffer, 0);
        if (received <= 0) {
            ::epoll_ctl(poller, EPOLL_CTL_DEL, client.fd, nullptr);
            failed(index);
            return;
        }
        client.pending.append(buffer, static_cast<std::size_t>(received));
        for (std::string::size_type end; (end = client.pending.find('\0')) != std::string::npos;) {
            const std::string reply = client.pending.substr(0, end);
            client.pending.erase(0, end + 1);
            client.waiting = false;
            done(index, microsecondsSince(client.sent), replyType(reply));
        }
    }

    int poller;
    std::vector<Client> clients;
};

// Closed loop: each client sends its next request as soon as its reply is in. Completions in the
// measuring window (after the warm-up) count.
int runThroughput(const Options& options)
{
    const int port = static_cast<int>(options.number("--port", 3971));
    const long clientCount = options.number("--clients", 1);
    const std::string request = options.text("--request", defaultRequest);
    ClientSet clients;
    for (long i = 0; i < clientCount; ++i)
        if (!clients.add(port)) {
            std::printf("throughput clients=%ld error=connect_failed_at_%ld\n", clientCount, i);
            return 1;
        }

    const auto warmupEnd = Clock::now() + std::chrono::seconds(options.number("--warmup-seconds", 1));
    const auto end = warmupEnd + std::chrono::seconds(options.number("--seconds", 5));
    long completed = 0;
    long errors = 0;
    std::vector<double> latencies;
    std::size_t outstanding = 0;
    auto done = [&](std::size_t index, double latency, const std::string&) {
        --outstanding;
        const auto now = Clock::now();
        if (now > warmupEnd && now <= end) {
            ++completed;
            latencies.push_back(latency);
        }
        if (now < end && clients.send(index, request))
            ++outstanding;
    };
    auto failed = [&](std::size_t) {
        ++errors;
        --outstanding;
    };
    for (std::size_t i = 0; i < clients.size(); ++i)
        if (clients.send(i, request))
            ++outstanding;
    const auto drainLimit = end + std::chrono::seconds(10);
    while ((Clock::now() < end || outstanding > 0) && Clock::now() < drainLimit)
        clients.poll(50, done, failed);

    const double seconds = std::chrono::duration<double>(end - warmupEnd).count();
    std::printf("throughput clients=%ld requests=%ld seconds=%.1f requests_per_s=%.0f errors=%ld unanswered=%zu "
                "median_us=%.1f p99_us=%.1f\n",
                clientCount, completed, seconds, static_cast<double>(completed) / seconds, errors, outstanding,
                percentile(latencies, 0.5), percentile(latencies, 0.99));
    return errors == 0 && outstanding == 0 ? 0 : 1;
}

// One request on every client at once; the number of clients that answered in time.
long answerAll(ClientSet& clients, const std::string& request, long& errors)
{
    std::vector<bool> answered(clients.size(), false);
    long outstanding = 0;
    for (std::size_t i = 0; i < clients.size(); ++i)
        if (clients.send(i, request))
            ++outstanding;
        else
            ++errors;
    long count = 0;
    auto done = [&](std::size_t index, double, const std::string&) {
        if (!answered[index]) {
            answered[index] = true;
            ++count;
            --outstanding;
        }
    };
    auto failed = [&](std::size_t) {
        ++errors;
        --outstanding;
    };
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (outstanding > 0 && Clock::now() < deadline)
        clients.poll(100, done, failed);
    return count;
}

// One round trip on the client `index` while the others stay quiet.
bool roundTripOn(ClientSet& clients, std::size_t index, const std::string& request)
{
    bool answered = false;
    bool failed = false;
    if (!clients.send(index, request))
        return false;
    auto done = [&](std::size_t client, double, const std::string&) { answered = answered || client == index; };
    auto lost = [&](std::size_t) { failed = true; };
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!answered && !failed && Clock::now() < deadline)
        clients.poll(100, done, lost);
    return answered && !failed;
}

// Opens the connections, paced by a round trip on every `step`th one so the daemon's accept
// queue never overflows. Returns the number of connections that failed.
long openIdleConnections(ClientSet& clients, int port, long count, const std::string& request)
{
    const long step = 50;
    long failures = 0;
    for (long i = 0; i < count; ++i) {
        if (!clients.add(port)) {
            ++failures;
            continue;
        }
        if ((i + 1) % step == 0 && !roundTripOn(clients, clients.size() - 1, request))
            ++failures;
    }
    return failures;
}

int runIdle(const Options& options)
{
    const int port = static_cast<int>(options.number("--port", 3971));
    const long count = options.number("--connections", 1000);
    const long pid = options.number("--pid", 0);
    const std::string request = options.text("--request", defaultRequest);
    const long rssBefore = pid ? statusKib(pid, "VmRSS") : -1;

    ClientSet clients;
    const auto openStart = Clock::now();
    long errors = openIdleConnections(clients, port, count, request);
    const double openSeconds = microsecondsSince(openStart) / 1e6;
    // Every connection answered once, so the daemon has set each of them up completely.
    long answered = answerAll(clients, request, errors);
    const long rssOpen = pid ? statusKib(pid, "VmRSS") : -1;

    const long hold = options.number("--hold", 5);
    const ProcessTimes before = pid ? readTimes(pid) : ProcessTimes();
    std::this_thread::sleep_for(std::chrono::seconds(hold));
    const ProcessTimes after = pid ? readTimes(pid) : ProcessTimes();
    // And once more after the idle time: none of them was dropped meanwhile.
    long answeredAfterHold = answerAll(clients, request, errors);

    const double perConnection = pid ? static_cast<double>(rssOpen - rssBefore) / static_cast<double>(count) : 0.0;
    std::printf("idle connections=%ld opened=%zu open_seconds=%.1f answered=%ld answered_after_hold=%ld errors=%ld "
                "rss_before_kib=%ld rss_open_kib=%ld kib_per_connection=%.1f hold_s=%ld cpu_ticks_during_hold=%ld\n",
                count, clients.size(), openSeconds, answered, answeredAfterHold, errors, rssBefore, rssOpen,
                perConnection, hold, after.ticks - before.ticks);
    return errors == 0 && answeredAfterHold == count ? 0 : 1;
}

// ---- device reports ------------------------------------------------------------------------

int runDevices(const Options& options)
{
    Connection connection(static_cast<int>(options.number("--port", 3971)));
    if (!connection.ok()) {
        std::printf("devices error=no_connection\n");
        return 1;
    }
    const std::string refresh = options.text("--refresh", "false");
    const long expect = options.number("--expect", 0);
    const int quietMs = static_cast<int>(options.number("--quiet-ms", 3000));
    const auto deadline = Clock::now() + std::chrono::seconds(options.number("--limit", 120));

    const auto start = Clock::now();
    connection.send("{\"type\": \"get_devices\", \"refresh\": " + refresh + "}");
    std::map<std::string, long> types;
    long reports = 0;
    double firstMs = 0;
    double lastMs = 0;
    std::size_t bytes = 0;
    std::string reply;
    while ((expect == 0 || reports < expect) && Clock::now() < deadline && connection.receive(reply, quietMs)) {
        const std::string type = replyType(reply);
        ++types[type];
        bytes += reply.size() + 1;
        if (type.compare(0, 4, "new_") != 0)
            continue;
        lastMs = microsecondsSince(start) / 1000.0;
        if (reports++ == 0)
            firstMs = lastMs;
    }
    std::printf("devices refresh=%s reports=%ld expected=%ld first_ms=%.1f last_report_ms=%.1f reply_bytes=%zu",
                refresh.c_str(), reports, expect, firstMs, lastMs, bytes);
    for (const auto& type : types)
        std::printf(" %s=%ld", type.first.c_str(), type.second);
    std::printf("\n");
    return expect == 0 || reports == expect ? 0 : 1;
}

// ---- process figures -----------------------------------------------------------------------

int runCpu(const Options& options)
{
    const long pid = options.number("--pid", 0);
    const long seconds = options.number("--seconds", 5);
    const ProcessTimes before = readTimes(pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const ProcessTimes after = readTimes(pid);
    const double hz = static_cast<double>(::sysconf(_SC_CLK_TCK));
    const long ticks = after.ticks - before.ticks;
    std::printf("cpu pid=%ld seconds=%ld ticks=%ld cpu_percent=%.2f\n", pid, seconds, ticks,
                100.0 * static_cast<double>(ticks) / hz / static_cast<double>(seconds));
    return before.ticks < 0 || after.ticks < 0 ? 1 : 0;
}

int runMemory(const Options& options)
{
    printMemory("memory", options.number("--pid", 0));
    return 0;
}

int usage()
{
    std::fprintf(stderr, "usage: load_driver probe|latency|throughput|idle|devices|cpu|memory [--option value]...\n");
    return 2;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 2)
        return usage();
    const std::string command = argv[1];
    const Options options(argc, argv);
    if (command == "probe")
        return runProbe(options);
    if (command == "latency")
        return runLatency(options);
    if (command == "throughput")
        return runThroughput(options);
    if (command == "idle")
        return runIdle(options);
    if (command == "devices")
        return runDevices(options);
    if (command == "cpu")
        return runCpu(options);
    if (command == "memory")
        return runMemory(options);
    return usage();
}
