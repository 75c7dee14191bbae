#include "QuorinCore/Processes/ProcessGraph.hpp"

#include <unordered_set>

namespace quorin {

void ProcessGraph::register_(ProcessIdentity process) {
    const ProcessID id = process.id;
    nodes_.insert_or_assign(id, std::move(process));
}

const ProcessIdentity* ProcessGraph::process(const ProcessID& id) const {
    const auto found = nodes_.find(id);
    return found == nodes_.end() ? nullptr : &found->second;
}

std::vector<ProcessIdentity> ProcessGraph::ancestry(const ProcessID& from) const {
    std::vector<ProcessIdentity> chain;
    std::unordered_set<ProcessID> visited;
    std::optional<ProcessID> current = from;
    while (current) {
        const ProcessIdentity* process = this->process(*current);
        if (process == nullptr || !visited.insert(*current).second) {
            break;
        }
        chain.push_back(*process);
        current = process->responsibleID ? process->responsibleID : process->parentID;
    }
    return chain;
}

std::optional<ProcessIdentity> ProcessGraph::root(const ProcessID& id) const {
    auto chain = ancestry(id);
    if (chain.empty()) {
        return std::nullopt;
    }
    return std::move(chain.back());
}

}  // namespace quorin
