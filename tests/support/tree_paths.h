// A recovered tree as a map of folder paths ("Root/DCIM/100CANON") to "*" for a deleted folder or
// "" otherwise: one comparison shows the whole shape of a tree.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "fsrecovery/recovered_tree.h"

namespace snapmend::test {

inline std::map<std::string, std::string> treePaths(const fsrecovery::RecoveredTree& rt) {
    std::map<std::string, std::string> out;
    std::vector<std::string> stack;
    rt.tree.forEach([&](ItemId id, int depth) {
        stack.resize(static_cast<std::size_t>(depth));
        stack.push_back(rt.tree.label(id));
        std::string path;
        for (const auto& part : stack) path += (path.empty() ? "" : "/") + part;
        const fsrecovery::NodeId node = rt.nodeOf(id);
        out[path] = node != fsrecovery::kNoNode && rt.folders[node].deleted ? "*" : "";
    });
    return out;
}

} // namespace snapmend::test
