#pragma once

#include <boost/optional.hpp>
#include <boost/property_tree/ptree.hpp>

#include <string>

// The daemon's one model of the control system: branches "corvanet" (this box), "devices"
// (other devices by MAC text) and "system". Paths join keys with "."; a MAC text is one key.
// All values are text: booleans "true"/"false", integers in decimal.
class SystemTree {
public:
    using Tree = boost::property_tree::ptree;

    std::string getOr(const std::string& path, const std::string& fallback) const;
    std::string getOr(const std::string& path, const char* fallback) const;
    int getOr(const std::string& path, int fallback) const;

    // Absent, or (for integers and booleans) not convertible, reads as none.
    boost::optional<std::string> getOptional(const std::string& path) const;
    boost::optional<int> getOptionalInt(const std::string& path) const;
    boost::optional<bool> getOptionalBool(const std::string& path) const;

    bool contains(const std::string& path) const { return findChild(path) != nullptr; }
    const Tree* findChild(const std::string& path) const;
    Tree* findChild(const std::string& path);

    void put(const std::string& path, const std::string& value);
    void put(const std::string& path, const char* value);
    void put(const std::string& path, int value);
    void put(const std::string& path, bool value);
    // Puts the value of the child `key` of the node at `path`; the key is taken whole,
    // dots included (host names, for example).
    void putEntry(const std::string& path, const std::string& key, const std::string& value);
    // Erases every top-level child with this key ("system", "devices", ...).
    void eraseTopLevel(const std::string& key);

    Tree& root() { return tree; }
    const Tree& root() const { return tree; }

private:
    Tree tree;
};

// The last subsystem in tree order one of whose values contains `text` (any, when it is empty).
boost::optional<std::string> subsystemServing(const SystemTree& tree, const std::string& text);
