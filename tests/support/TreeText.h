#pragma once

#include "model/SystemTree.h"

#include <string>

// The leaves below `node` as "key=value" in tree order, nested keys joined by ".".
inline std::string leaves(const SystemTree::Tree* node, const std::string& prefix = "")
{
    std::string out;
    for (const SystemTree::Tree::value_type& child : node ? *node : SystemTree::Tree())
        out += (out.empty() ? "" : " ") + (child.second.empty() ? prefix + child.first + "=" + child.second.data()
                                                                : leaves(&child.second, prefix + child.first + "."));
    return out;
}
inline std::string leaves(const SystemTree& tree, const std::string& path)
{
    return leaves(tree.findChild(path));
}
