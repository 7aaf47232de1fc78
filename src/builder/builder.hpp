// The mutable graph builder: nodes form a chain in the order they are added; sub-graphs attached
// with `branch` start from the node added last and run beside the main chain.
#pragma once

#include "dag/dag.hpp"
#include "node/node.hpp"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vantorix {

class Graph {
public:
    using MappingPairs = std::vector<std::pair<std::string, std::string>>;

    struct Branch {
        BranchId id;
        std::unique_ptr<Graph> graph;
    };

    Graph() = default;
    Graph(Graph&&) noexcept = default;
    Graph& operator=(Graph&&) noexcept;
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;
    ~Graph();

    // Appends a node that depends on the node added before it. `inputs` pairs are
    // (broadcast_var, impl_var), `outputs` pairs (impl_var, broadcast_var); later pairs with the
    // same first text replace earlier ones.
    Graph& add(NodeFunctionPtr function, std::optional<std::string> label = std::nullopt,
               MappingPairs inputs = {}, MappingPairs outputs = {});

    // Takes `subgraph` over as a branch starting at the current branch point and returns its
    // branch identifier (one per call, also when nothing can be attached).
    BranchId branch(Graph subgraph);

    // Folds every branch into one node list with unique identifiers and orders it.
    Dag build() &&;

    const std::vector<Node>& nodes() const noexcept { return nodes_; }
    const std::vector<Branch>& branches() const noexcept { return branches_; }
    std::optional<NodeId> last_node() const noexcept { return last_node_; }
    std::optional<NodeId> branch_point() const noexcept { return branch_point_; }
    NodeId next_node_id() const noexcept { return next_node_id_; }
    BranchId next_branch_id() const noexcept { return next_branch_id_; }

private:
    void merge_branch(Graph& branch, NodeId parent_offset);
    // Destroys nested sub-graphs one level at a time, so that a deeply nested graph never
    // recurses once per nesting level.
    static void release_branches(std::vector<Branch>& branches);

    std::vector<Node> nodes_;
    std::vector<Branch> branches_;
    std::optional<NodeId> last_node_;
    std::optional<NodeId> branch_point_;
    NodeId next_node_id_ = 0;
    BranchId next_branch_id_ = 1;
};

} // namespace vantorix
