#include "ApplyRun.h"

#include "NetworkSurvey.h"
#include "TerminalText.h"

#include <iostream>

int ApplyRun::run()
{
    for (const Change& change : plan.changes()) {
        try {
            make(change);
        } catch (const KipdError& error) {
            return failed(change, "kipd: " + std::string(error.what()), errorReply);
        } catch (const ConnectionError& error) {
            return failed(change, error.what(),
                          error.kind == ConnectionError::Kind::timedOut ? timedOut : connectionFailed);
        }
        for (const std::string& line : change.lines) {
            std::cout << "done: " << terminalText(line) << '\n';
            made.push_back(line);
        }
        std::cout.flush();
    }
    return ok;
}

void ApplyRun::make(const Change& change)
{
    for (const Tree& request : change.requests)
        askKipd(client, request);
}

int ApplyRun::failed(const Change& change, const std::string& why, int status) const
{
    for (const std::string& line : change.lines)
        std::cerr << "kipctl: failed: " << terminalText(line) << '\n';
    std::cerr << "kipctl: " << terminalText(why) << '\n';
    if (made.empty())
        std::cerr << "kipctl: no change was made before it\n";
    else
        std::cerr << "kipctl: made before it:\n";
    for (const std::string& line : made)
        std::cerr << "  " << terminalText(line) << '\n';
    std::cerr << "kipctl: run apply again to resume: it plans from what the network holds then\n";
    return status;
}
