#pragma once

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// The configuration-daemon simulator as a child process on ephemeral ports, with its
// message log, for tests that drive the configuration-daemon link against it.
class SimulatorProcess {
public:
    // `network` is relative to the source tree (e.g. "examples/network.json").
    explicit SimulatorProcess(const std::string& network, const std::vector<std::string>& extra = {})
        : logPath(tempPath("log")), statePath(tempPath("state"))
    {
        std::vector<std::string> args = {"python3", std::string(KIPD_SOURCE_DIR) + "/tools/kip-confd-sim",
                                         "--main-port", "0", "--direct-port", "0",
                                         "--network", std::string(KIPD_SOURCE_DIR) + "/" + network,
                                         "--log", logPath};
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
        std::remove(statePath.c_str());
    }
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    int mainPort() const { return main; }
    int directPort() const { return direct; }
    // A path the test may pass as "--state" (removed afterwards).
    const std::string& stateFile() const { return statePath; }

    // Every logged entry so far (one JSON object each), in order.
    std::vector<boost::property_tree::ptree> logEntries() const
    {
        std::vector<boost::property_tree::ptree> entries;
        std::ifstream file(logPath);
        std::string line;
        while (std::getline(file, line)) {
            std::istringstream text(line);
            boost::property_tree::ptree entry;
            try {
                boost::property_tree::read_json(text, entry);
            } catch (const boost::property_tree::json_parser_error&) {
                continue;  // a line still being written
            }
            entries.push_back(entry);
        }
        return entries;
    }

    // The full texts of the messages the simulator received, in order.
    std::vector<std::string> receivedTexts() const
    {
        std::vector<std::string> texts;
        for (const auto& entry : logEntries())
            if (entry.get<std::string>("dir", "") == "in")
                texts.push_back(entry.get<std::string>("text", ""));
        return texts;
    }

private:
    static std::string tempPath(const char* what)
    {
        return "/tmp/kipd-sim-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++) + "." + what;
    }
    static int& counter()
    {
        static int next = 0;
        return next;
    }

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
        readReadyLine();
    }

    // Waits for "kip-confd-sim: listening on ADDR:MAIN,DIRECT"; the child exits on failure,
    // which ends the read.
    void readReadyLine()
    {
        char line[512];
        while (std::fgets(line, sizeof line, output)) {
            std::string text(line);
            std::string::size_type at = text.find("listening on ");
            if (at == std::string::npos)
                continue;
            std::string::size_type colon = text.find(':', at);
            std::string::size_type comma = text.find(',', colon);
            main = std::stoi(text.substr(colon + 1, comma - colon - 1));
            direct = std::stoi(text.substr(comma + 1));
            return;
        }
        throw std::runtime_error("the simulator did not start");
    }

    std::string logPath;
    std::string statePath;
    pid_t pid = -1;
    FILE* output = nullptr;
    int main = 0;
    int direct = 0;
};
