#pragma once

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

// The configuration-daemon simulator as a child process on ephemeral ports, with its message log.
class SimulatorProcess {
public:
    using Entry = boost::property_tree::ptree;

    // `network` is relative to the source tree (e.g. "examples/network.json").
    explicit SimulatorProcess(const std::string& network, const std::vector<std::string>& extra = {})
        : logPath("/tmp/kipd-sim-" + std::to_string(::getpid()) + "-" + std::to_string(started++) + ".log")
    {
        std::vector<std::string> args = {"python3",       std::string(KIPD_SOURCE_DIR) + "/tools/kip-confd-sim",
                                         "--main-port",   "0",
                                         "--direct-port", "0",
                                         "--network",     std::string(KIPD_SOURCE_DIR) + "/" + network,
                                         "--log",         logPath};
        args.insert(args.end(), extra.begin(), extra.end());
        start(args);
    }
    ~SimulatorProcess()
    {
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        if (output)
            std::fclose(output);
        std::remove(logPath.c_str());
    }
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    int mainPort() const { return main; }
    int directPort() const { return direct; }

    // Every logged entry so far (one JSON object each), in order.
    std::vector<Entry> logEntries() const
    {
        std::vector<Entry> entries;
        std::ifstream file(logPath);
        for (std::string line; std::getline(file, line);) {
            std::istringstream text(line);
            Entry entry;
            try {
                boost::property_tree::read_json(text, entry);
                entries.push_back(entry);
            } catch (const boost::property_tree::json_parser_error&) {
                // a line still being written
            }
        }
        return entries;
    }
    // The logged entries whose `key` is `value`.
    std::vector<Entry> entriesWith(const std::string& key, const std::string& value) const
    {
        std::vector<Entry> entries;
        for (const Entry& entry : logEntries())
            if (entry.get<std::string>(key, "") == value)
                entries.push_back(entry);
        return entries;
    }
    std::size_t count(const std::string& key, const std::string& value) const { return entriesWith(key, value).size(); }
    // The full texts of the messages the simulator received, in order.
    std::vector<std::string> receivedTexts() const
    {
        std::vector<std::string> texts;
        for (const Entry& entry : entriesWith("dir", "in"))
            texts.push_back(entry.get<std::string>("text", ""));
        return texts;
    }

private:
    static inline int started = 0;

    void start(const std::vector<std::string>& args)
    {
        int pipeFds[2];
        if (::pipe(pipeFds) != 0)
            throw std::runtime_error("pipe");
        pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive a test that was killed
            ::dup2(pipeFds[1], STDOUT_FILENO);
            ::close(pipeFds[0]);
            ::close(pipeFds[1]);
            std::vector<char*> argv;
            for (const std::string& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        output = ::fdopen(pipeFds[0], "r");
        // "kip-confd-sim: listening on ADDR:MAIN,DIRECT"; a child that fails exits, ending the read.
        char line[512];
        while (std::fgets(line, sizeof line, output))
            if (const char* at = std::strstr(line, "listening on "))
                if (std::sscanf(at, "listening on %*[^:]:%d,%d", &main, &direct) == 2)
                    return;
        throw std::runtime_error("the simulator did not start");
    }

    std::string logPath;
    pid_t pid = -1;
    FILE* output = nullptr;
    int main = 0;
    int direct = 0;
};
