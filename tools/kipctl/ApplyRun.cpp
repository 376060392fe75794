#include "ApplyRun.h"

#include "NetworkSurvey.h"

#include <iostream>
#include <optional>

namespace {

volatile std::sig_atomic_t caught = 0;
const int handled[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction before[sizeof handled / sizeof handled[0]];

void onSignal(int number) { caught = number; }

int statusOf(const ConnectionError& error)
{
    return error.kind == ConnectionError::Kind::timedOut ? timedOut : connectionFailed;
}

struct Failure {
    std::string why;
    int status;
};

// Runs a step that talks to kipd: how it failed, if it did, so that the run records it.
template <typename Step>
std::optional<Failure> talk(Step step)
{
    try {
        step();
        return std::nullopt;
    } catch (const KipdError& error) {
        return Failure{"kipd: " + std::string(error.what()), errorReply};
    } catch (const ConnectionError& error) {
        return Failure{error.what(), statusOf(error)};
    } catch (const UnreadableReply& error) {
        return Failure{"unreadable reply from kipd: " + std::string(error.what()), connectionFailed};
    } catch (const boost::property_tree::ptree_error& error) {
        return Failure{"unreadable reply from kipd: " + std::string(error.what()), connectionFailed};
    }
}

void listMade(const std::vector<std::string>& made)
{
    output::problem(made.empty() ? "no change was made before it" : "made before it:");
    for (const std::string& line : made)
        output::line(std::cerr, "  " + line);
}

}  // namespace

InterruptGuard::InterruptGuard()
{
    caught = 0;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    for (std::size_t i = 0; i < sizeof handled / sizeof handled[0]; ++i)
        sigaction(handled[i], &action, &before[i]);
}

InterruptGuard::~InterruptGuard()
{
    for (std::size_t i = 0; i < sizeof handled / sizeof handled[0]; ++i)
        sigaction(handled[i], &before[i], nullptr);
}

int InterruptGuard::signalled() { return caught; }

int refuseChanged(const std::vector<std::string>& differences, const std::vector<std::string>& made)
{
    output::problem("the network no longer holds what the plan was made from:");
    for (const std::string& difference : differences)
        output::problem("  " + difference);
    output::problem("plan again");
    listMade(made);
    return networkChanged;
}

int ApplyRun::run()
{
    for (std::size_t index = 0; index < plan.changes().size(); ++index) {
        if (InterruptGuard::signalled())
            interrupted("before the next change");
        if (index > 0 && look) {
            std::vector<std::string> differences;
            // A device slow to answer one search is looked for again before apply gives up.
            if (auto failure = talk([&] {
                    for (int tries = 0; tries < 2 && (tries == 0 || !differences.empty()); ++tries)
                        differences = expected.differences(look());
                }))
                return stopped(failure->why, failure->status);
            if (InterruptGuard::signalled())
                interrupted("before the next change");
            if (!differences.empty()) {
                std::string why = "the network changed:";
                for (const std::string& difference : differences)
                    why += " " + difference + ";";
                why.pop_back();
                record.finish("stopped", why);
                return refuseChanged(differences, made);
            }
        }
        try {
            if (!make(index))
                return status;
        } catch (const HistoryError& error) {
            // No change goes out that the record does not hold.
            output::problem(error.what());
            output::problem("apply stopped: the record of this run cannot be written");
            listMade(made);
            return usageError;
        }
    }
    if (InterruptGuard::signalled())
        interrupted("before the search after the changes");
    return ok;
}

// Sends the change's requests; false once the failure is recorded and reported.
bool ApplyRun::make(std::size_t index)
{
    const Change& change = plan.changes()[index];
    record.started(index);
    if (auto failure = talk([&] {
            for (const Tree& request : change.requests)
                askKipd(client, request);
        })) {
        status = failed(index, failure->why, failure->status);
        return false;
    }
    record.done(index);
    expected.expect(change.effects);
    for (const std::string& line : change.lines) {
        output::line(std::cout, "done: " + line);
        made.push_back(line);
    }
    std::cout.flush();
    return true;
}

int ApplyRun::failed(std::size_t index, const std::string& why, int failure)
{
    record.failed(index, why);
    record.finish("failed", why);
    for (const std::string& line : plan.changes()[index].lines)
        output::problem("failed: " + line);
    output::problem(why);
    listMade(made);
    resumeHint();
    return failure;
}

int ApplyRun::stopped(const std::string& why, int failure)
{
    record.finish("failed", "the search before the next change: " + why);
    output::problem("the search before the next change failed: " + why);
    listMade(made);
    resumeHint();
    return failure;
}

void ApplyRun::resumeHint() const
{
    output::problem(look ? "plan again to resume: this plan no longer matches the network"
                         : "run apply again to resume: it plans from what the network holds then");
}

void ApplyRun::interrupted(const std::string& where)
{
    int number = InterruptGuard::signalled();
    record.finish("interrupted", "signal " + std::to_string(number));
    output::problem("interrupted: stopped " + where);
    listMade(made);
    resumeHint();
    std::cout.flush();
    std::signal(number, SIG_DFL);
    std::raise(number);
    std::_Exit(128 + number);
}
