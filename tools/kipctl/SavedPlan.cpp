#include "SavedPlan.h"

#include "SystemFile.h"

#include <cinttypes>
#include <cstdio>

namespace savedplan {
namespace {

using Kind = JsonValue::Kind;
using Tree = boost::property_tree::ptree;

const std::string format = "kipctl-plan-1";
const std::string again = ": make it again with kipctl plan --out";

// FNV-1a: enough to tell an edited or damaged plan, not meant to stop a forger, who could as
// well send the requests himself.
std::string checksum(const JsonValue& root)
{
    JsonValue sealed = root;
    sealed.object.erase("checksum");
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : prettyJson(sealed)) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, hash);
    return text;
}

JsonValue jsonOf(const Tree& tree)
{
    if (tree.empty())
        return JsonValue::ofString(tree.data());
    JsonValue object = JsonValue::ofKind(Kind::object);
    for (const auto& child : tree)
        object.object[child.first] = jsonOf(child.second);
    return object;
}

class PlanReader {
public:
    PlanReader(const JsonValue& root, const std::string& path) : root(root), path(path) {}

    const JsonValue& field(const std::string& key, Kind kind) const
    {
        auto found = root.object.find(key);
        if (found == root.object.end() || found->second.kind != kind)
            throw systemfile::FileError({path + ": the plan's \"" + key + "\" is missing or damaged" + again});
        return found->second;
    }
    std::string text(const std::string& key) const { return field(key, Kind::string).text; }

private:
    const JsonValue& root;
    const std::string& path;
};

}  // namespace

bool isPlan(const std::string& text) { return text.substr(0, 200).find("\"" + format + "\"") != std::string::npos; }

std::string text(const SavedPlan& plan)
{
    JsonValue root = JsonValue::ofKind(Kind::object);
    root.object["schema"] = JsonValue::ofString(format);
    root.object["kipctl"] = JsonValue::ofString(KIPD_VERSION);
    root.object["box"] = JsonValue::ofString(plan.box);
    root.object["host"] = JsonValue::ofString(plan.host);
    root.object["made"] = JsonValue::ofString(plan.made);
    root.object["file"] = JsonValue::ofString(plan.file);
    root.object["file_text"] = JsonValue::ofString(plan.fileText);
    root.object["skip_missing"] = JsonValue::ofBoolean(plan.skipMissing);
    root.object["fingerprint"] = plan.fingerprint.json();
    root.object["changes"] = plan.changes;
    root.object["checksum"] = JsonValue::ofString(checksum(root));
    return prettyJson(root);
}

SavedPlan parse(const std::string& text, const std::string& path)
{
    if (text.size() > systemfile::planSizeLimit)
        throw systemfile::FileError({path + ": more than " + std::to_string(systemfile::planSizeLimit) +
                                     " bytes, the most kipctl reads of a plan" + again});
    JsonValue root;
    try {
        root = parseJson(text);
    } catch (const JsonSyntaxError& error) {
        throw systemfile::FileError({path + ":" + std::to_string(error.line) + ":" + std::to_string(error.column) +
                                     ": the plan is damaged or cut short (" + error.what() + ")" + again});
    }
    PlanReader reader(root, path);
    if (root.kind != Kind::object || reader.text("schema") != format)
        throw systemfile::FileError({path + ": not a plan this kipctl reads" + again});
    if (reader.text("checksum") != checksum(root))
        throw systemfile::FileError({path + ": the plan was changed after kipctl wrote it (its checksum does not "
                                            "match)" + again});
    if (reader.text("kipctl") != KIPD_VERSION)
        throw systemfile::FileError(
            {path + ": the plan was made by kipctl " + reader.text("kipctl") + ", this is " KIPD_VERSION + again});
    SavedPlan plan;
    plan.box = reader.text("box");
    plan.host = reader.text("host");
    plan.made = reader.text("made");
    plan.file = reader.text("file");
    plan.fileText = reader.text("file_text");
    plan.skipMissing = reader.field("skip_missing", Kind::boolean).boolean;
    plan.changes = reader.field("changes", Kind::array);
    try {
        plan.fingerprint = Fingerprint::fromJson(reader.field("fingerprint", Kind::object));
    } catch (const std::runtime_error& error) {
        throw systemfile::FileError({path + ": " + error.what() + again});
    }
    return plan;
}

JsonValue changesJson(const Plan& plan)
{
    JsonValue list = JsonValue::ofKind(Kind::array);
    for (const Change& change : plan.changes()) {
        JsonValue entry = JsonValue::ofKind(Kind::object);
        entry.object["device"] = JsonValue::ofString(change.mac.empty() ? "this box" : change.mac);
        JsonValue& lines = entry.object["lines"] = JsonValue::ofKind(Kind::array);
        for (const std::string& line : change.lines)
            lines.array.push_back(JsonValue::ofString(line));
        JsonValue& requests = entry.object["requests"] = JsonValue::ofKind(Kind::array);
        for (const Tree& request : change.requests)
            requests.array.push_back(jsonOf(request));
        list.array.push_back(entry);
    }
    return list;
}

}  // namespace savedplan
