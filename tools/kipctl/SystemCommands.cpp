#include "SystemCommands.h"

#include "ApplySession.h"
#include "BoxLock.h"
#include "History.h"
#include "PlanSteps.h"
#include "SavedPlan.h"
#include "SystemFile.h"

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <unistd.h>

namespace {

constexpr int changesPending = 2;

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

template <typename Action>
int guarded(Action action)
{
    try {
        return action();
    } catch (const systemfile::FileError& error) {
        return refuse(error.problems());
    } catch (const HistoryError& error) {
        return refuse({error.what()});
    } catch (const BoxBusy& error) {
        output::problem("another apply is changing this box: " + std::string(error.what()));
        output::problem("nothing was changed (--wait SECONDS waits for it)");
        return networkChanged;
    } catch (const KipdError& error) {
        output::problem("kipd: " + std::string(error.what()));
        return errorReply;
    }
}

}  // namespace

Fingerprint look(Client& client, const SystemDescription& wanted, const NetworkState& found, const Plan& plan,
                 std::vector<std::string>* problems)
{
    Fingerprint print = Fingerprint::of(wanted, found);
    auto allows = [&](const char* setting, bool allowed, const std::string& refusal) {
        print.set({Fingerprint::thisBox, setting, yesNo(allowed)}, Fingerprint::thisBox);
        if (!allowed && problems)
            problems->push_back(refusal);
    };
    if (plan.changesBox() && found.hasSystem)
        allows(settingName::mayChangeIp, mayChangeIp(client),
               "this box: kipd does not allow its IP settings to change (may-change-ip is false)");
    if (plan.changesMembership())
        allows(settingName::mayUseBuilder, mayUseBuilder(client),
               "kipd does not allow the system to be configured on this box (may-use-builder is false)");
    return print;
}

// Searches the network, plans the file against it and checks the plan against what the box allows.
Observation observe(Client& client, const SystemDescription& wanted, bool skipMissing, Milliseconds quiet)
{
    Observation seen;
    seen.found = surveyNetwork(client, quiet);
    seen.plan = std::make_unique<Plan>(wanted, seen.found, skipMissing, seen.problems, seen.notes);
    seen.fingerprint = look(client, wanted, seen.found, *seen.plan, &seen.problems);
    return seen;
}

void printNotes(const std::vector<std::string>& notes)
{
    for (const std::string& note : notes)
        output::problem(note);
}

int refuse(const std::vector<std::string>& problems)
{
    for (const std::string& problem : problems)
        output::problem(problem);
    output::problem("nothing was changed");
    return usageError;
}

void printPlan(const Plan& plan)
{
    for (const Change& change : plan.changes())
        for (const std::string& line : change.lines)
            output::line(std::cout, line);
    if (plan.changes().empty())
        output::line(std::cout, "No changes: the network matches the file.");
}

bool confirmed()
{
    if (!::isatty(STDIN_FILENO)) {
        output::problem("apply asks for confirmation on a terminal: give --yes to apply without asking");
        return false;
    }
    std::cout << "Apply these changes? Type yes to go on: " << std::flush;
    std::string answer;
    std::getline(std::cin, answer);
    if (answer == "yes" || answer == "y")
        return true;
    output::problem("nothing was changed");
    return false;
}

std::string absolutePath(const std::string& path)
{
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real)
        return path;
    std::string resolved = real;
    std::free(real);
    return resolved;
}

// Searches again after an apply and says whether the network matches the file.
Outcome checkResult(Client& client, const SystemDescription& wanted, bool skipMissing, Milliseconds quiet,
                    bool boxChanged)
{
    Outcome outcome{ok, {}};
    try {
        std::vector<std::string> problems, notes;
        Plan again(wanted, surveyNetwork(client, quiet), skipMissing, problems, notes);
        if (again.changes().empty() && problems.empty()) {
            outcome.lines.push_back("The network now matches the file.");
        } else {
            outcome.status = changesPending;
            outcome.lines.push_back("The network does not match the file yet:");
            for (const Change& change : again.changes())
                outcome.lines.insert(outcome.lines.end(), change.lines.begin(), change.lines.end());
            outcome.lines.insert(outcome.lines.end(), problems.begin(), problems.end());
        }
    } catch (const ConnectionError&) {
        if (!boxChanged)
            throw;
        outcome.lines.push_back("This box reboots to apply its new settings: run kipctl plan once it is back to "
                                "check the network.");
    }
    for (const std::string& line : outcome.lines)
        output::line(std::cout, line);
    return outcome;
}

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
        std::string text = systemfile::readText(options.file, systemfile::planSizeLimit);
        if (savedplan::isPlan(text))
            return refuse({options.file + ": this is a saved plan: apply it with kipctl apply, or plan its system "
                                          "file again"});
        SystemDescription wanted = systemfile::parse(text, options.file);
        Observation seen = observe(client, wanted, options.skipMissing, options.quiet);
        printNotes(seen.notes);
        if (!seen.problems.empty())
            return refuse(seen.problems);
        if (options.json)
            std::cout << seen.plan->json() << "\n";
        else
            printPlan(*seen.plan);
        if (!options.out.empty())
            writeFile(options.out, savedplan::text({seen.found.system.box.mac, client.host(), timeNow(),
                                                    absolutePath(options.file),
                                                    text, options.skipMissing, seen.fingerprint,
                                                    savedplan::changesJson(*seen.plan)}));
        return seen.plan->changes().empty() ? ok : changesPending;
    });
}

int applySystem(Client& client, const SystemFileOptions& options)
{
    return guarded([&]() -> int {
        std::string text = systemfile::readText(options.file, systemfile::planSizeLimit);
        ApplySession session(client, options);
        if (!savedplan::isPlan(text))
            return session.applyFile(systemfile::parse(text, options.file), options.file);
        if (options.skipMissing)
            return refuse({"a saved plan keeps the --skip-missing it was made with: apply it without"});
        return session.applySaved(savedplan::parse(text, options.file), options.file);
    });
}

int restoreSystem(Client& client, const SystemFileOptions& options, int run)
{
    return guarded([&]() -> int { return ApplySession(client, options).restore(run); });
}

int showHistory(const SystemFileOptions& options, std::optional<int> run)
{
    try {
        History history(options.history);
        std::vector<std::string> lines = run ? recordLines(history, *run) : historyLines(history);
        if (lines.empty())
            output::line(std::cout, "No apply is recorded in " + history.folder() + ".");
        for (const std::string& line : lines)
            output::line(std::cout, line);
        return ok;
    } catch (const HistoryError& error) {
        output::problem(error.what());
        return usageError;
    }
}
