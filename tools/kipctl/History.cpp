#include "History.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Kind = JsonValue::Kind;

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string defaultFolder()
{
    const char* chosen = std::getenv("KIPCTL_HISTORY");
    if (chosen && *chosen)
        return chosen;
    // A relative or empty XDG_STATE_HOME is to be ignored.
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/')
        return std::string(state) + "/kipctl/history";
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* user = ::getpwuid(::getuid());
        home = user ? user->pw_dir : nullptr;
    }
    if (!home || !*home)
        throw HistoryError("no history folder: HOME is not set (give --history DIR)");
    return std::string(home) + "/.local/state/kipctl/history";
}

bool isNumber(const std::string& text)
{
    return !text.empty() && text.size() < 9 && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) && text[0] != '0';
}

std::string textOf(const JsonValue& object, const std::string& key, const std::string& fallback = "")
{
    auto found = object.object.find(key);
    return found != object.object.end() && found->second.kind == Kind::string ? found->second.text : fallback;
}

const std::vector<JsonValue>& listOf(const JsonValue& object, const std::string& key)
{
    static const std::vector<JsonValue> none;
    auto found = object.object.find(key);
    return found != object.object.end() && found->second.kind == Kind::array ? found->second.array : none;
}

std::pair<int, int> madeAndFailed(const JsonValue& record)
{
    int made = 0, failed = 0;
    for (const JsonValue& change : listOf(record, "changes")) {
        std::string result = textOf(change, "result");
        made += result == "done";
        failed += result.rfind("failed", 0) == 0;
    }
    return {made, failed};
}

std::string whatWasApplied(const JsonValue& record)
{
    std::string restores = textOf(record, "restores");
    if (!restores.empty())
        return "the snapshot taken before run " + restores;
    std::string plan = textOf(record, "plan");
    return textOf(record, "file") + (plan.empty() ? "" : " (saved plan " + plan + ")");
}

}  // namespace

History::History(const std::string& folder) : path(folder.empty() ? defaultFolder() : folder)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
}

void History::create() const
{
    for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
        std::string part = path.substr(0, end);
        struct stat status {};
        if (::mkdir(part.c_str(), 0700) != 0) {
            if (errno == EEXIST && ::stat(part.c_str(), &status) == 0 && !S_ISDIR(status.st_mode))
                errno = ENOTDIR;
            if (errno != EEXIST)
                throw HistoryError(systemError(path + ": cannot make the history folder"));
        }
        if (end == std::string::npos)
            return;
    }
}

std::vector<int> History::runs() const
{
    std::vector<int> numbers;
    DIR* folder = ::opendir(path.c_str());
    if (!folder)
        return numbers;
    while (const dirent* entry = ::readdir(folder))
        if (isNumber(entry->d_name))
            numbers.push_back(std::atoi(entry->d_name));
    ::closedir(folder);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

int History::newRun() const
{
    std::vector<int> taken = runs();
    for (int run = taken.empty() ? 1 : taken.back() + 1;; ++run) {
        if (::mkdir(runFolder(run).c_str(), 0700) == 0)
            return run;
        if (errno != EEXIST)
            throw HistoryError(systemError(runFolder(run) + ": cannot write in the history folder"));
    }
}

std::string History::runFolder(int run) const { return path + "/" + std::to_string(run); }
std::string History::snapshotPath(int run) const { return runFolder(run) + "/snapshot.json"; }
std::string History::recordPath(int run) const { return runFolder(run) + "/record.json"; }
std::string History::lockPath(const std::string& name) const { return path + "/" + name + ".lock"; }

JsonValue History::record(int run) const
{
    std::ifstream file(recordPath(run), std::ios::binary);
    std::ostringstream text;
    struct stat status {};
    if (!(file && text << file.rdbuf()))
        throw HistoryError(::stat(runFolder(run).c_str(), &status) == 0
                               ? "run " + std::to_string(run) + " ended before its first change and left no record"
                               : "no run " + std::to_string(run) + " in " + path);
    try {
        JsonValue record = parseJson(text.str());
        if (record.kind == Kind::object)
            return record;
    } catch (const JsonSyntaxError&) {
    }
    throw HistoryError(recordPath(run) + ": the record cannot be read");
}

void writeDurably(const std::string& path, const std::string& text)
{
    const std::string temporary = path + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool written = fd >= 0;
    for (std::size_t at = 0; written && at < text.size();) {
        ssize_t n = ::write(fd, text.data() + at, text.size() - at);
        written = n > 0 || (n < 0 && errno == EINTR);
        at += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    written = written && ::fsync(fd) == 0;
    if (fd >= 0 && ::close(fd) != 0)
        written = false;
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0)
        throw HistoryError(systemError(path + ": cannot write"));
    // The rename itself lasts only once the folder is synced.
    std::string folder = path.substr(0, path.rfind('/') + 1);
    int folderFd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
}

RunRecord::RunRecord(std::string path, JsonValue head, const std::vector<std::vector<std::string>>& changes)
    : path(std::move(path)), root(std::move(head))
{
    JsonValue& list = root.object["changes"] = JsonValue::ofKind(Kind::array);
    for (const std::vector<std::string>& lines : changes) {
        JsonValue change = JsonValue::ofKind(Kind::object);
        JsonValue& texts = change.object["lines"] = JsonValue::ofKind(Kind::array);
        for (const std::string& line : lines)
            texts.array.push_back(JsonValue::ofString(line));
        change.object["result"] = JsonValue::ofString("not made");
        list.array.push_back(change);
    }
    root.object["outcome"] = JsonValue::ofString("running");
    write();
}

void RunRecord::started(std::size_t change) { result(change, "sent, no answer yet"); }
void RunRecord::done(std::size_t change) { result(change, "done"); }
void RunRecord::failed(std::size_t change, const std::string& why) { result(change, "failed: " + why); }

void RunRecord::finish(const std::string& outcome, const std::string& why)
{
    root.object["outcome"] = JsonValue::ofString(outcome);
    if (!why.empty())
        root.object["why"] = JsonValue::ofString(why);
    root.object["ended"] = JsonValue::ofString(timeNow());
    write();
}

void RunRecord::searchAfter(const std::vector<std::string>& lines)
{
    JsonValue& list = root.object["search_after"] = JsonValue::ofKind(Kind::array);
    for (const std::string& line : lines)
        list.array.push_back(JsonValue::ofString(line));
    write();
}

void RunRecord::result(std::size_t change, const std::string& text)
{
    root.object["changes"].array.at(change).object["result"] = JsonValue::ofString(text);
    write();
}

void RunRecord::write() { writeDurably(path, prettyJson(root)); }

std::string timeNow()
{
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    char text[32];
    ::gmtime_r(&now, &parts);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::string userName()
{
    if (const passwd* user = ::getpwuid(::geteuid()))
        return user->pw_name;
    const char* name = std::getenv("USER");
    return name && *name ? name : "uid " + std::to_string(::geteuid());
}

std::string hostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return "an unknown host";
    return name;
}

std::vector<std::string> historyLines(const History& history)
{
    std::vector<std::string> lines;
    std::vector<int> runs = history.runs();
    for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
        std::string number = std::to_string(*run);
        try {
            JsonValue record = history.record(*run);
            auto [made, failed] = madeAndFailed(record);
            std::string outcome = textOf(record, "outcome");
            lines.push_back(number + "  " + textOf(record, "started") + "  " + textOf(record, "user") + "  " +
                            textOf(record, "box") + "  " + std::to_string(made) + " made, " + std::to_string(failed) +
                            " failed" + (outcome == "done" ? "" : "  (" + outcome + ")") + "  " +
                            whatWasApplied(record));
        } catch (const HistoryError& error) {
            lines.push_back(number + "  " + error.what());
        }
    }
    return lines;
}

std::vector<std::string> recordLines(const History& history, int run)
{
    JsonValue record = history.record(run);
    std::string ended = textOf(record, "ended");
    std::string why = textOf(record, "why");
    std::vector<std::string> lines = {
        "Run:        " + std::to_string(run),
        "Started:    " + textOf(record, "started") + (ended.empty() ? "" : ", ended " + ended),
        "By:         " + textOf(record, "user") + " on " + textOf(record, "host"),
        "Box:        " + textOf(record, "box") + ", kipd at " + textOf(record, "kipd"),
        "Applied:    " + whatWasApplied(record),
        "Snapshot:   " + history.snapshotPath(run),
        "Outcome:    " + textOf(record, "outcome") + (why.empty() ? "" : ": " + why),
        "Changes:"};
    for (const JsonValue& change : listOf(record, "changes"))
        for (const JsonValue& line : listOf(change, "lines"))
            lines.push_back("  " + textOf(change, "result") + ": " + line.text);
    if (listOf(record, "changes").empty())
        lines.push_back("  none");
    lines.push_back("Search after:");
    for (const JsonValue& line : listOf(record, "search_after"))
        lines.push_back("  " + line.text);
    if (listOf(record, "search_after").empty())
        lines.push_back("  none");
    return lines;
}
