#include "SystemCommands.h"

#include "ApplyRun.h"
#include "NetworkSurvey.h"
#include "Plan.h"
#include "SystemFile.h"
#include "TerminalText.h"

#include <fstream>
#include <iostream>
#include <memory>
#include <unistd.h>

namespace {

constexpr int changesPending = 2;

int refuse(const std::vector<std::string>& problems)
{
    for (const std::string& problem : problems)
        std::cerr << "kipctl: " << terminalText(problem) << '\n';
    std::cerr << "kipctl: nothing was changed\n";
    return usageError;
}

void writeFile(const std::string& path, const std::string& text)
{
    const std::string temporary = path + ".tmp";
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    if (!(file << text && file.flush()))
        throw systemfile::FileError({path + ": cannot write the file"});
    file.close();
    if (std::rename(temporary.c_str(), path.c_str()) != 0)
        throw systemfile::FileError({path + ": cannot write the file"});
}

// Reads and checks the file, searches the network, and checks the plan against what the box allows.
std::unique_ptr<Plan> preparePlan(Client& client, const SystemFileOptions& options, std::vector<std::string>& problems)
{
    SystemDescription wanted = systemfile::read(options.file);
    NetworkState found = surveyNetwork(client, options.quiet);
    std::vector<std::string> notes;
    auto plan = std::make_unique<Plan>(wanted, found, options.skipMissing, problems, notes);
    for (const std::string& note : notes)
        std::cerr << "kipctl: " << terminalText(note) << '\n';
    if (plan->changesBox() && found.hasSystem && !mayChangeIp(client))
        problems.push_back("this box: kipd does not allow its IP settings to change (may-change-ip is false)");
    if (plan->changesMembership() && !mayUseBuilder(client))
        problems.push_back("kipd does not allow the system to be configured on this box (may-use-builder is false)");
    return plan;
}

void printPlan(const Plan& plan)
{
    for (const Change& change : plan.changes())
        for (const std::string& line : change.lines)
            std::cout << terminalText(line) << '\n';
    if (plan.changes().empty())
        std::cout << "No changes: the network matches the file.\n";
}

bool confirmed()
{
    if (!::isatty(STDIN_FILENO)) {
        std::cerr << "kipctl: apply asks for confirmation on a terminal: give --yes to apply without asking\n";
        return false;
    }
    std::cout << "Apply these changes? Type yes to go on: " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    if (answer == "yes" || answer == "y")
        return true;
    std::cerr << "kipctl: nothing was changed\n";
    return false;
}

// Searches again after an apply and says whether the network matches the file.
int checkResult(Client& client, const SystemFileOptions& options, bool boxChanged)
{
    try {
        std::vector<std::string> problems, notes;
        Plan again(systemfile::read(options.file), surveyNetwork(client, options.quiet), options.skipMissing,
                   problems, notes);
        if (again.changes().empty() && problems.empty()) {
            std::cout << "The network now matches the file.\n";
            return ok;
        }
        std::cout << "The network does not match the file yet:\n";
        printPlan(again);
        for (const std::string& problem : problems)
            std::cout << terminalText(problem) << '\n';
        return changesPending;
    } catch (const ConnectionError&) {
        if (!boxChanged)
            throw;
        std::cout << "This box reboots to apply its new settings: run kipctl plan once it is back to check the"
                     " network.\n";
        return ok;
    }
}

template <typename Action>
int guarded(Action action)
{
    try {
        return action();
    } catch (const systemfile::FileError& error) {
        return refuse(error.problems());
    } catch (const KipdError& error) {
        std::cerr << "kipctl: kipd: " << terminalText(error.what()) << '\n';
        return errorReply;
    }
}

}  // namespace

int exportSystem(Client& client, const SystemFileOptions& options)
{
    return guarded([&]() -> int {
        NetworkState found = surveyNetwork(client, options.quiet);
        std::string text = systemfile::text(found.system);
        if (options.file.empty())
            std::cout << text;
        else
            writeFile(options.file, text);
        return ok;
    });
}

int planSystem(Client& client, const SystemFileOptions& options)
{
    return guarded([&]() -> int {
        std::vector<std::string> problems;
        std::unique_ptr<Plan> plan = preparePlan(client, options, problems);
        if (!problems.empty())
            return refuse(problems);
        if (options.json)
            std::cout << plan->json() << '\n';
        else
            printPlan(*plan);
        return plan->changes().empty() ? ok : changesPending;
    });
}

int applySystem(Client& client, const SystemFileOptions& options)
{
    return guarded([&]() -> int {
        std::vector<std::string> problems;
        std::unique_ptr<Plan> plan = preparePlan(client, options, problems);
        if (!problems.empty())
            return refuse(problems);
        printPlan(*plan);
        if (plan->changes().empty())
            return ok;
        if (!options.yes && !confirmed())
            return usageError;
        int status = ApplyRun(client, *plan).run();
        if (status != ok)
            return status;
        return checkResult(client, options, plan->changesBox());
    });
}
