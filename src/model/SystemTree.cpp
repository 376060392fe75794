#include "model/SystemTree.h"

#include "model/SystemVocabulary.h"

std::string SystemTree::getOr(const std::string& path, const std::string& fallback) const
{
    return tree.get<std::string>(path, fallback);
}

std::string SystemTree::getOr(const std::string& path, const char* fallback) const
{
    return getOr(path, std::string(fallback));
}

int SystemTree::getOr(const std::string& path, int fallback) const { return tree.get<int>(path, fallback); }

boost::optional<std::string> SystemTree::getOptional(const std::string& path) const
{
    return tree.get_optional<std::string>(path);
}

boost::optional<int> SystemTree::getOptionalInt(const std::string& path) const
{
    return tree.get_optional<int>(path);
}

boost::optional<bool> SystemTree::getOptionalBool(const std::string& path) const
{
    return tree.get_optional<bool>(path);
}

const SystemTree::Tree* SystemTree::findChild(const std::string& path) const
{
    boost::optional<const Tree&> child = tree.get_child_optional(path);
    return child ? &*child : nullptr;
}

SystemTree::Tree* SystemTree::findChild(const std::string& path)
{
    boost::optional<Tree&> child = tree.get_child_optional(path);
    return child ? &*child : nullptr;
}

void SystemTree::put(const std::string& path, const std::string& value) { tree.put(path, value); }

void SystemTree::put(const std::string& path, const char* value) { tree.put(path, std::string(value)); }

void SystemTree::put(const std::string& path, int value) { tree.put(path, value); }

void SystemTree::put(const std::string& path, bool value) { tree.put(path, std::string(value ? "true" : "false")); }

void SystemTree::putEntry(const std::string& path, const std::string& key, const std::string& value)
{
    Tree* parent = findChild(path);
    if (!parent)
        parent = &tree.put_child(path, Tree());
    Tree::assoc_iterator entry = parent->find(key);
    if (entry != parent->not_found())
        entry->second.put_value(value);
    else
        parent->push_back(Tree::value_type(key, Tree(value)));
}

void SystemTree::eraseTopLevel(const std::string& key) { tree.erase(key); }

boost::optional<std::string> subsystemServing(const SystemTree& tree, const std::string& text)
{
    boost::optional<std::string> match;
    const SystemTree::Tree* subsystems = tree.findChild(systempath::subsystems);
    if (!subsystems)
        return match;
    for (const SystemTree::Tree::value_type& subsystem : *subsystems)
        for (const SystemTree::Tree::value_type& field : subsystem.second)
            if (field.second.data().find(text) != std::string::npos)
                match = subsystem.first;
    return match;
}
