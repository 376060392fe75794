// kipctl: a command-line client of kipd's host protocol.
#include "Client.h"
#include "DeviceSearch.h"
#include "Output.h"
#include "StatusCommand.h"
#include "SystemCommands.h"
#include "TerminalText.h"

#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

const char* const usage =
    "Usage: kipctl [OPTIONS] COMMAND [ARGUMENTS]\n"
    "       kipctl --help | --version\n"
    "\n"
    "Commands:\n"
    "  has-system                 does this box belong to a system\n"
    "  ip-settings                show this box's IP settings\n"
    "  may-change-ip              may this box's IP settings be changed\n"
    "  may-use-builder            may the system be configured on this box\n"
    "  devices [--no-refresh] [--quiet SECONDS]\n"
    "                             list every device once: search the network\n"
    "                             (unless --no-refresh) until no device has\n"
    "                             reported for SECONDS (default 2), then add the\n"
    "                             devices kipd knows that the search did not report\n"
    "  corvanets                  list the controller boxes of the system\n"
    "  set-ip IP MASK GATEWAY HOSTNAME [--mac MAC]\n"
    "                             change the IP settings of this box (or of the\n"
    "                             device MAC)\n"
    "  set-router MAC [--ip IP] [--mask MASK] [--gateway GATEWAY] [--hostname NAME]\n"
    "             [--include | --exclude] [--level NO] [--level-name NAME]\n"
    "             [--level-description TEXT]\n"
    "                             change a router's IP settings, or add it to the\n"
    "                             system (with a level) or remove it from it\n"
    "  export [FILE] [--quiet SECONDS]\n"
    "                             write the system, as a device search finds it,\n"
    "                             to FILE (or standard output) as JSON\n"
    "  plan FILE [--json] [--skip-missing] [--quiet SECONDS] [--out PLAN]\n"
    "                             list the changes that would make the network\n"
    "                             match FILE (exit 2 when there are some); --out\n"
    "                             saves them with what they were planned from\n"
    "  apply FILE|PLAN [--yes] [--skip-missing] [--quiet SECONDS] [--history DIR]\n"
    "             [--wait SECONDS]\n"
    "                             make those changes (FILE: after asking unless\n"
    "                             --yes; PLAN: exactly the saved ones, while the\n"
    "                             network holds what they were planned from),\n"
    "                             after a snapshot kept in the history, then\n"
    "                             search again and compare\n"
    "  history [show N] [--history DIR]\n"
    "                             list the applies, newest first, or show run N\n"
    "  restore N [--yes] [--skip-missing] [--quiet SECONDS] [--history DIR]\n"
    "            [--wait SECONDS]\n"
    "                             plan and apply the snapshot taken before run N\n"
    "  status [--history] [--status-socket PATH]\n"
    "                             kipd's status: its links to the configuration\n"
    "                             daemon, clients, queue, system, memory, last\n"
    "                             changes (--json: as kipd reports it); read from\n"
    "                             PATH, else $KIPD_STATUS_SOCKET, else\n"
    "                             /run/kipd/status\n"
    "\n"
    "Options, before or after the command:\n"
    "  --host HOST                the box running kipd (default 127.0.0.1)\n"
    "  --timeout SECONDS          how long to wait for an answer (default 5; 30 for\n"
    "                             set-ip, set-router, apply and restore)\n"
    "  --json                     print kipd's replies as JSON, one compact object\n"
    "                             per line\n"
    "  -h, --help                 print this help and exit\n"
    "  --version                  print the version and exit\n"
    "\n"
    "Exit status: 0 done, 1 bad usage or a file that fails its checks, 2 kipd\n"
    "answered with an error (plan and apply: changes pending), 3 cannot connect,\n"
    "4 no answer in time, 5 (status) a link to the configuration daemon is down,\n"
    "6 the network changed since the saved plan, or another apply holds the box.\n";

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

Milliseconds secondsValue(const std::string& option, const std::string& text)
{
    std::size_t used = 0;
    double seconds = -1;
    try {
        seconds = std::stod(text, &used);
    } catch (const std::logic_error&) {
    }
    if (used != text.size() || !(seconds >= 0 && seconds <= 86400))
        throw UsageError(option + " needs a number of seconds");
    return Milliseconds(static_cast<long>(seconds * 1000));
}

// Takes "--name value" pairs and flags from the arguments of one command.
class ArgumentList {
public:
    explicit ArgumentList(std::vector<std::string> arguments) : arguments(std::move(arguments)) {}

    bool flag(const std::string& name)
    {
        for (auto it = arguments.begin(); it != arguments.end(); ++it)
            if (*it == name) {
                arguments.erase(it);
                return true;
            }
        return false;
    }
    std::string value(const std::string& name, const std::string& fallback = "")
    {
        for (auto it = arguments.begin(); it != arguments.end(); ++it)
            if (*it == name) {
                if (it + 1 == arguments.end())
                    throw UsageError(name + " needs a value");
                std::string found = *(it + 1);
                arguments.erase(it, it + 2);
                return found;
            }
        return fallback;
    }
    bool has(const std::string& name) const
    {
        return std::find(arguments.begin(), arguments.end(), name) != arguments.end();
    }
    std::vector<std::string> positional(std::size_t least, std::size_t most)
    {
        for (const std::string& argument : arguments)
            if (argument.rfind("--", 0) == 0)
                throw UsageError("unknown option " + argument);
        if (arguments.size() < least || arguments.size() > most)
            throw UsageError("wrong number of arguments");
        return arguments;
    }

private:
    std::vector<std::string> arguments;
};

Tree requestOf(const std::string& type)
{
    Tree request;
    request.put("type", type);
    return request;
}

using Handler = std::function<int(Client&, ArgumentList&)>;

// A command without arguments: one request, and its reply shown unless --json.
Handler askAndShow(const std::string& type, std::function<void(const Tree& reply)> show)
{
    return [type, show](Client& client, ArgumentList& arguments) {
        arguments.positional(0, 0);
        Tree reply = client.ask(requestOf(type));
        if (reportedError(reply))
            return errorReply;
        if (!client.json())
            show(reply);
        return ok;
    };
}

Handler askYesNo(const std::string& type, const std::string& member, const std::string& yes, const std::string& no)
{
    return askAndShow(type, [member, yes, no](const Tree& reply) {
        std::cout << (reply.get<std::string>(member, "false") == "true" ? yes : no) << '\n';
    });
}

int setIp(Client& client, ArgumentList& arguments)
{
    std::string mac = arguments.value("--mac");
    std::vector<std::string> values = arguments.positional(4, 4);
    Tree request = requestOf("set_corvanet_ip_settings");
    request.put("ip_address", values[0]);
    request.put("subnet_mask", values[1]);
    request.put("default_gateway", values[2]);
    request.put("hostname", values[3]);
    if (!mac.empty())
        request.put("mac_address", mac);
    Tree reply = client.ask(request);
    if (reportedError(reply))
        return errorReply;
    if (!client.json()) {
        std::cout << "IP settings accepted.\n";
        if (reply.get<std::string>("system_created", "false") == "true")
            std::cout << "A new system was created on this box.\n";
        if (reply.get<std::string>("reboot", "false") == "true")
            std::cout << "The box reboots to apply its new settings.\n";
    }
    return ok;
}

int devices(Client& client, ArgumentList& arguments)
{
    bool refresh = !arguments.flag("--no-refresh");
    Milliseconds quiet = secondsValue("--quiet", arguments.value("--quiet", "2"));
    arguments.positional(0, 0);
    client.connect();
    if (!client.json())
        output::deviceTableHeader(std::cout);
    return DeviceSearch(client, quiet).run(refresh, [&client](const std::string& type, const Tree& report) {
        if (!client.json())
            output::deviceRow(std::cout, type, report);
    });
}

int setRouter(Client& client, ArgumentList& arguments)
{
    Tree request = requestOf("set_tessora_info");
    request.put("ip_settings.ip_address", arguments.value("--ip"));
    request.put("ip_settings.subnet_mask", arguments.value("--mask"));
    request.put("ip_settings.default_gateway", arguments.value("--gateway"));
    request.put("ip_settings.hostname", arguments.value("--hostname"));
    bool include = arguments.flag("--include");
    bool exclude = arguments.flag("--exclude");
    if (include && exclude)
        throw UsageError("--include and --exclude exclude each other");
    if (include || exclude)
        request.put("system.include", include ? "true" : "false");
    request.put("system.level.no", arguments.value("--level"));
    request.put("system.level.name", arguments.value("--level-name"));
    request.put("system.level.description", arguments.value("--level-description"));
    request.put("ip_settings.mac_address", arguments.positional(1, 1)[0]);

    Tree reply = client.ask(request);
    if (reportedError(reply))
        return errorReply;
    std::string type = reply.get<std::string>("type", "");
    if (DeviceSearch::isDeviceReport(type) && !client.json()) {
        output::deviceTableHeader(std::cout);
        output::deviceRow(std::cout, type, reply);
    }
    return ok;
}

int showStatus(Client& client, ArgumentList& arguments)
{
    status::StatusOptions options;
    options.history = arguments.flag("--history");
    options.socket = arguments.value("--status-socket");
    arguments.positional(0, 0);
    options.json = client.json();
    options.timeout = client.limit();
    return status::run(options);
}

SystemFileOptions systemFileOptions(ArgumentList& arguments, bool fileRequired)
{
    SystemFileOptions options;
    options.json = arguments.flag("--json");
    options.yes = arguments.flag("--yes");
    options.skipMissing = arguments.flag("--skip-missing");
    options.quiet = secondsValue("--quiet", arguments.value("--quiet", "2"));
    options.out = arguments.value("--out");
    options.history = arguments.value("--history");
    options.wait = secondsValue("--wait", arguments.value("--wait", "0"));
    std::vector<std::string> file = arguments.positional(fileRequired ? 1 : 0, 1);
    options.file = file.empty() ? "" : file[0];
    return options;
}

void refuseOthers(const ArgumentList& arguments, const std::vector<std::string>& allowed)
{
    for (const char* option : {"--json", "--yes", "--skip-missing", "--quiet", "--out", "--history", "--wait"})
        if (std::find(allowed.begin(), allowed.end(), option) == allowed.end() && arguments.has(option))
            throw UsageError(std::string(option) + " does not go with this command");
}

// Takes only the options that `allowed` names (and --quiet) before the rest are read.
Handler systemFileCommand(std::vector<std::string> allowed, bool fileRequired,
                          int (*command)(Client&, const SystemFileOptions&))
{
    allowed.push_back("--quiet");
    return [allowed, fileRequired, command](Client& client, ArgumentList& arguments) {
        refuseOthers(arguments, allowed);
        return command(client, systemFileOptions(arguments, fileRequired));
    };
}

int runNumber(const std::string& text)
{
    if (text.empty() || text.size() > 8 || text.find_first_not_of("0123456789") != std::string::npos ||
        text[0] == '0')
        throw UsageError("a run is a number, as kipctl history lists it");
    return std::stoi(text);
}

// history, or history show N.
int historyCommand(Client&, ArgumentList& arguments)
{
    refuseOthers(arguments, {"--history"});
    SystemFileOptions options;
    options.history = arguments.value("--history");
    std::vector<std::string> words = arguments.positional(0, 2);
    if (words.empty())
        return showHistory(options, std::nullopt);
    if (words.size() != 2 || words[0] != "show")
        throw UsageError("history takes show N, or nothing");
    return showHistory(options, runNumber(words[1]));
}

int restore(Client& client, ArgumentList& arguments)
{
    refuseOthers(arguments, {"--yes", "--skip-missing", "--quiet", "--history", "--wait"});
    SystemFileOptions options = systemFileOptions(arguments, true);
    return restoreSystem(client, options, runNumber(options.file));
}

const std::map<std::string, Handler>& commands()
{
    static const std::map<std::string, Handler> table = {
        {"has-system", askYesNo("has_corvanet_system", "system_exists", "This box belongs to a system.",
                                "This box has no system.")},
        {"ip-settings",
         askAndShow("get_corvanet_ip_settings", [](const Tree& reply) { output::ipSettings(std::cout, reply); })},
        {"may-change-ip",
         askYesNo("may_change_corvanet_ip_settings", "change_allowed", "The IP settings of this box may be changed.",
                  "The IP settings of this box may not be changed.")},
        {"set-ip", setIp},
        {"may-use-builder", askYesNo("may_use_builder", "use_allowed", "The system may be configured on this box.",
                                     "The system may not be configured on this box.")},
        {"devices", devices},
        {"set-router", setRouter},
        {"corvanets", askAndShow("get_corvanets", [](const Tree& reply) { output::corvanets(std::cout, reply); })},
        {"export", systemFileCommand({}, false, exportSystem)},
        {"plan", systemFileCommand({"--json", "--skip-missing", "--out"}, true, planSystem)},
        {"apply", systemFileCommand({"--yes", "--skip-missing", "--history", "--wait"}, true, applySystem)},
        {"history", historyCommand},
        {"restore", restore},
        {"status", showStatus}};
    return table;
}

// The global options may stand before or after the command; the other words after the
// command are its own.
Options parseOptions(const std::vector<std::string>& words)
{
    Options options;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "--help" || word == "-h")
            options.help = true;
        else if (word == "--version")
            options.version = true;
        else if (word == "--json")
            options.json = true;
        else if (word == "--host" || word == "--timeout") {
            if (i + 1 == words.size())
                throw UsageError(word + " needs a value");
            (word == "--host" ? options.host : options.timeout) = words[++i];
            options.hostGiven = options.hostGiven || word == "--host";
        } else if (!options.command.empty())
            options.arguments.push_back(word);
        else if (word.rfind('-', 0) == 0)
            throw UsageError("unknown option " + word);
        else
            options.command = word;
    }
    return options;
}

bool isSystemFileCommand(const std::string& command)
{
    return command == "export" || command == "plan" || command == "apply" || command == "restore";
}

Milliseconds timeoutFor(const Options& options)
{
    if (!options.timeout.empty())
        return secondsValue("--timeout", options.timeout);
    bool changesSettings = options.command == "set-ip" || options.command == "set-router" || options.command == "apply" ||
                          options.command == "restore";
    return std::chrono::seconds(changesSettings ? 30 : 5);
}

}  // namespace

int main(int argc, char* argv[])
{
    try {
        Options options = parseOptions({argv + 1, argv + argc});
        if (options.help) {
            std::cout << usage;
            return ok;
        }
        if (options.version) {
            std::cout << "kipctl (kipd) " KIPD_VERSION "\n";
            return ok;
        }
        if (options.command.empty())
            throw UsageError("no command given");
        auto command = commands().find(options.command);
        if (command == commands().end())
            throw UsageError("unknown command " + options.command);
        if (options.command == "status" && options.hostGiven)
            throw UsageError("status reads the status socket of this box; --host does not go with it");
        // Under export, plan and apply --json is the command's own: kipd's replies are not echoed.
        if (isSystemFileCommand(options.command) && options.json) {
            options.json = false;
            options.arguments.push_back("--json");
        }
        ArgumentList arguments(options.arguments);
        Client client(options, timeoutFor(options));
        return command->second(client, arguments);
    } catch (const UsageError& error) {
        std::cerr << "kipctl: " << terminalText(error.what()) << "\n\n" << usage;
        return usageError;
    } catch (const ConnectionError& error) {
        std::cerr << "kipctl: " << terminalText(error.what()) << '\n';
        return error.kind == ConnectionError::Kind::timedOut ? timedOut : connectionFailed;
    } catch (const UnreadableReply& error) {
        std::cerr << "kipctl: unreadable reply from kipd: " << terminalText(error.what()) << '\n';
        return connectionFailed;
    } catch (const boost::property_tree::ptree_error& error) {
        std::cerr << "kipctl: unreadable reply from kipd: " << terminalText(error.what()) << '\n';
        return connectionFailed;
    }
}
