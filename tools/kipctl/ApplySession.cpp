#include "ApplySession.h"

#include "ApplyRun.h"
#include "SystemFile.h"

#include <cstdio>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <iostream>
#include <unistd.h>

namespace {

JsonValue applied(const std::string& file, const std::string& plan, const std::string& restores)
{
    JsonValue extra = JsonValue::ofKind(JsonValue::Kind::object);
    extra.object["file"] = JsonValue::ofString(file);
    if (!plan.empty())
        extra.object["plan"] = JsonValue::ofString(plan);
    if (!restores.empty())
        extra.object["restores"] = JsonValue::ofString(restores);
    return extra;
}

}  // namespace

int ApplySession::applyFile(const SystemDescription& wanted, const std::string& file)
{
    lockBox();
    return planAndApply(wanted, applied(absolutePath(file), "", ""));
}

int ApplySession::planAndApply(const SystemDescription& wanted, JsonValue extra)
{
    Observation seen = observe(client, wanted, options.skipMissing, options.quiet);
    printNotes(seen.notes);
    if (!seen.problems.empty())
        return refuse(seen.problems);
    printPlan(*seen.plan);
    if (seen.plan->changes().empty())
        return ok;
    return confirmAndRun(wanted, std::move(seen), std::move(extra));
}

int ApplySession::applySaved(const SavedPlan& saved, const std::string& planFile)
{
    SystemDescription wanted = systemfile::parse(saved.fileText, saved.file);
    lockBox();
    std::string box = boxOfKipd();
    if (box != saved.box)
        throw systemfile::FileError({planFile + ": the plan was made for the box " + saved.box + ", but kipd at " +
                                     client.host() + " runs on the box " + box + ": plan again there"});
    Observation seen = observeAgainst(saved.fingerprint, wanted, saved.skipMissing);
    printNotes(seen.notes);
    std::vector<std::string> differences = saved.fingerprint.differences(seen.fingerprint);
    if (!differences.empty())
        return refuseChanged(differences, {});
    if (!seen.problems.empty())
        return refuse(seen.problems);
    if (prettyJson(savedplan::changesJson(*seen.plan)) != prettyJson(saved.changes))
        throw systemfile::FileError({planFile + ": its changes are not the ones its system file plans from this "
                                                "network: make it again with kipctl plan --out"});
    printPlan(*seen.plan);
    if (seen.plan->changes().empty())
        return ok;
    return run(wanted, seen, applied(saved.file, absolutePath(planFile), ""), true);
}

int ApplySession::restore(int number)
{
    JsonValue record = history.record(number);
    auto box = record.object.find("box_mac");
    std::string recorded = box != record.object.end() ? box->second.text : "";
    SystemDescription wanted = systemfile::read(history.snapshotPath(number));
    lockBox();
    std::string found = boxOfKipd();
    if (found != recorded)
        throw systemfile::FileError({"run " + std::to_string(number) + " changed the box " + recorded +
                                     ", but kipd at " + client.host() + " runs on the box " + found});
    return planAndApply(wanted, applied(history.snapshotPath(number), "", std::to_string(number)));
}

// A device slow to answer one search is looked for again before the network counts as changed.
Observation ApplySession::observeAgainst(const Fingerprint& expected, const SystemDescription& wanted,
                                         bool skipMissing)
{
    Observation seen = observe(client, wanted, skipMissing, options.quiet);
    if (!expected.differences(seen.fingerprint).empty())
        seen = observe(client, wanted, skipMissing, options.quiet);
    return seen;
}

std::string ApplySession::boxOfKipd()
{
    Tree request;
    request.put("type", "get_corvanet_ip_settings");
    return askKipd(client, request).get<std::string>("mac_address", "");
}

// The lock is taken before kipd is asked anything: kipd drops the answers a client waits for when
// another client's connection ends, so a second apply must keep off kipd while the first runs. It
// is named after kipd's address, so that every name of one address shares it.
void ApplySession::lockBox()
{
    history.create();
    std::string address = client.host();
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    char numeric[INET6_ADDRSTRLEN] = {};
    if (::getaddrinfo(address.c_str(), nullptr, &hints, &found) == 0) {
        if (::getnameinfo(found->ai_addr, found->ai_addrlen, numeric, sizeof numeric, nullptr, 0, NI_NUMERICHOST) == 0)
            address = numeric;
        ::freeaddrinfo(found);
    }
    lock = std::make_unique<BoxLock>(history.lockPath("kipd-at-" + address), options.wait);
}

int ApplySession::confirmAndRun(const SystemDescription& wanted, Observation seen, JsonValue extra)
{
    if (!options.yes) {
        if (!confirmed())
            return usageError;
        // The question may have waited long: go on only from the network the plan was made from.
        Observation again = observeAgainst(seen.fingerprint, wanted, options.skipMissing);
        std::vector<std::string> differences = seen.fingerprint.differences(again.fingerprint);
        if (!differences.empty())
            return refuseChanged(differences, {});
        seen = std::move(again);
    }
    return run(wanted, seen, std::move(extra), false);
}

int ApplySession::run(const SystemDescription& wanted, const Observation& seen, JsonValue extra, bool lookBeforeEach)
{
    const int number = takeSnapshot(seen.found);
    const ThisBox& box = seen.found.system.box;
    JsonValue& head = extra;
    head.object["schema"] = JsonValue::ofNumber(1);
    head.object["run"] = JsonValue::ofNumber(number);
    head.object["started"] = JsonValue::ofString(timeNow());
    head.object["user"] = JsonValue::ofString(userName());
    head.object["host"] = JsonValue::ofString(hostName());
    head.object["box"] = JsonValue::ofString(box.ip.hostname + " (" + box.mac + ")");
    head.object["box_mac"] = JsonValue::ofString(box.mac);
    head.object["kipd"] = JsonValue::ofString(client.host());
    std::vector<std::vector<std::string>> changes;
    for (const Change& change : seen.plan->changes())
        changes.push_back(change.lines);
    RunRecord record(history.recordPath(number), head, changes);

    ApplyRun::Look lookNow;
    if (lookBeforeEach)
        lookNow = [&] { return look(client, wanted, surveyNetwork(client, options.quiet), *seen.plan, nullptr); };
    int status = ok;
    {
        InterruptGuard guard;
        status = ApplyRun(client, *seen.plan, record, lookNow, seen.fingerprint).run();
        if (status == ok)
            record.finish("done", "");
    }
    const std::string told = "Recorded as run " + std::to_string(number) + " in " + history.folder() +
                             ": kipctl restore " + std::to_string(number) + " puts back what the network held before.";
    if (status != ok) {
        output::line(std::cout, told);
        return status;
    }
    try {
        Outcome after = checkResult(client, wanted, options.skipMissing, options.quiet, seen.plan->changesBox());
        record.searchAfter(after.lines);
        status = after.status;
    } catch (const std::runtime_error& error) {
        record.searchAfter({"the search failed: " + std::string(error.what())});
        output::line(std::cout, told);
        throw;
    }
    output::line(std::cout, told);
    return status;
}

// The export of the network as it stands, written and read back before anything changes.
int ApplySession::takeSnapshot(const NetworkState& found)
{
    const int number = history.newRun();
    const std::string path = history.snapshotPath(number);
    const std::string text = systemfile::text(found.system);
    std::string problem = "it reads back otherwise than it was written";
    try {
        writeDurably(path, text);
        if (systemfile::text(systemfile::read(path)) == text)
            return number;
    } catch (const systemfile::FileError& error) {
        problem = error.what();
    } catch (const HistoryError& error) {
        problem = error.what();
    }
    std::remove(path.c_str());
    ::rmdir(path.substr(0, path.rfind('/')).c_str());
    throw systemfile::FileError({path + ": the snapshot cannot be read back, so this apply could not be undone",
                                 problem});
}
