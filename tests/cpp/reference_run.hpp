// A reference interpreter of runs, written as plainly as the rules of a run read: a context map,
// the node of an identifier found by scanning the node list, every node's outputs merged into the
// context, kept per node and merged per branch. A wide level runs its nodes one after another
// against a copy of the context taken when the level began and merges their outputs in level
// order: what the engine gives with one worker at a time. The engine's runs are checked against
// it on generated graphs.
#pragma once

#include "support.hpp"

#include <map>
#include <utility>
#include <vector>

namespace vantorix::test {

struct ReferenceRun {
    Context context;
    std::map<NodeId, Context> node_outputs;
    std::map<BranchId, Context> branch_outputs;
    std::vector<NodeId> ran; // in the order their outputs were merged
};

inline ReferenceRun reference_run(const Dag& dag, bool parallel, const Context& initial = {}) {
    ReferenceRun result;
    result.context = initial;
    auto find = [&dag](NodeId id) -> const Node* {
        for (const Node& node : dag.nodes()) {
            if (node.id == id) {
                return &node;
            }
        }
        return nullptr;
    };
    auto merge = [&result](const Node& node, Context outputs) {
        result.context.merge(outputs);
        if (node.branch_id) {
            result.branch_outputs[*node.branch_id].merge(outputs);
        }
        result.node_outputs[node.id] = std::move(outputs);
        result.ran.push_back(node.id);
    };
    if (!parallel) {
        for (const NodeId id : dag.execution_order()) {
            const Node& node = *find(id);
            merge(node, execute_node(node, result.context));
        }
        return result;
    }
    for (const std::vector<NodeId>& level : dag.level_ids()) {
        const Context snapshot = result.context;
        std::vector<std::pair<const Node*, Context>> outputs;
        for (const NodeId id : level) {
            const Node& node = *find(id);
            outputs.emplace_back(&node, execute_node(node, snapshot));
        }
        for (auto& [node, published] : outputs) {
            merge(*node, std::move(published));
        }
    }
    return result;
}

} // namespace vantorix::test
