#include "builder/builder.hpp"

#include <algorithm>

namespace vantorix {

Graph& Graph::operator=(Graph&& other) noexcept {
    if (this != &other) {
        release_branches(branches_);
        nodes_ = std::move(other.nodes_);
        branches_ = std::move(other.branches_);
        last_node_ = other.last_node_;
        branch_point_ = other.branch_point_;
        next_node_id_ = other.next_node_id_;
        next_branch_id_ = other.next_branch_id_;
    }
    return *this;
}

Graph::~Graph() { release_branches(branches_); }

Graph& Graph::add(NodeFunctionPtr function, std::optional<std::string> label, MappingPairs inputs,
                  MappingPairs outputs) {
    const NodeId id = next_node_id_++;
    Node node(id, std::move(label), std::move(function),
              VariableMapping::from_pairs(std::move(inputs)),
              VariableMapping::from_pairs(std::move(outputs)));
    if (last_node_) {
        node.dependencies.push_back(*last_node_);
    }
    nodes_.push_back(std::move(node));
    last_node_ = id;
    branch_point_.reset();
    return *this;
}

BranchId Graph::branch(Graph subgraph) {
    const BranchId id = next_branch_id_++;
    if (!branch_point_) {
        branch_point_ = last_node_;
    }
    if (branch_point_ && !subgraph.nodes_.empty()) {
        Node& entry = subgraph.nodes_.front();
        if (std::find(entry.dependencies.begin(), entry.dependencies.end(), *branch_point_) ==
            entry.dependencies.end()) {
            entry.dependencies.push_back(*branch_point_);
        }
        entry.is_branch_entry = true;
        for (Node& node : subgraph.nodes_) {
            node.branch_id = id;
        }
    }
    branches_.push_back(Branch{id, std::make_unique<Graph>(std::move(subgraph))});
    return id;
}

Dag Graph::build() && {
    std::vector<Branch> branches = std::move(branches_);
    branches_.clear();
    for (Branch& branch : branches) {
        merge_branch(*branch.graph, 0);
    }
    release_branches(branches);
    return Dag(std::move(nodes_));
}

// A graph's nodes carry the identifiers 0..k-1 in list order (`add` numbers them so), so a node
// of a merged branch is found again at `base + old id`. The first node's dependency names the
// branch point in the numbering of the graph it was attached to, which starts at `parent_offset`
// in the final list (0 for the main graph, whose identifiers do not change). Nested branches are
// merged depth first with an explicit stack, so deep nesting cannot exhaust the call stack.
void Graph::merge_branch(Graph& branch, NodeId parent_offset) {
    struct Pending {
        Graph* graph;
        NodeId parent_offset;
    };
    std::vector<Pending> stack{{&branch, parent_offset}};
    while (!stack.empty()) {
        const Pending current = stack.back();
        stack.pop_back();
        Graph& graph = *current.graph;
        const NodeId base = next_node_id_;
        // No reserve here: growing the list to exactly one more branch at a time would move
        // every node already merged on each branch, quadratic for a graph of many branches.
        for (std::size_t position = 0; position < graph.nodes_.size(); ++position) {
            Node& node = graph.nodes_[position];
            node.id = next_node_id_++;
            const NodeId offset = position == 0 ? current.parent_offset : base;
            for (NodeId& dependency : node.dependencies) {
                dependency += offset;
            }
            nodes_.push_back(std::move(node));
        }
        graph.nodes_.clear();
        // Pushed in reverse so that siblings are merged in the order they were attached.
        for (auto it = graph.branches_.rbegin(); it != graph.branches_.rend(); ++it) {
            stack.push_back({it->graph.get(), base});
        }
    }
}

void Graph::release_branches(std::vector<Branch>& branches) {
    std::vector<std::unique_ptr<Graph>> pending;
    for (Branch& branch : branches) {
        pending.push_back(std::move(branch.graph));
    }
    branches.clear();
    while (!pending.empty()) {
        std::unique_ptr<Graph> graph = std::move(pending.back());
        pending.pop_back();
        for (Branch& branch : graph->branches_) {
            pending.push_back(std::move(branch.graph));
        }
        graph->branches_.clear();
    }
}

} // namespace vantorix
