// The executable form of a graph: its nodes, an order that respects their dependencies, the
// levels whose members can run at the same time, and the variables the nodes pass on.
#pragma once

#include "dag/levels.hpp"
#include "dag/variables.hpp"
#include "node/node.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

namespace vantorix {

class Dag {
public:
    // Orders `nodes` by Kahn's algorithm. Nodes on cycles or behind dependencies that name no
    // node stay in `nodes()` but are left out of `order()` and `levels()`.
    explicit Dag(std::vector<Node> nodes);

    Dag(Dag&&) noexcept = default;
    Dag& operator=(Dag&&) noexcept = default;
    Dag(const Dag&) = delete;
    Dag& operator=(const Dag&) = delete;

    const std::vector<Node>& nodes() const noexcept { return nodes_; }
    // The scheduled nodes, by position, in execution order and by level. A node that shares its
    // identifier with an earlier one is never scheduled: the identifier stands for the first.
    std::span<const NodePosition> order() const noexcept { return order_; }
    const Levels& levels() const noexcept { return levels_; }
    const Variables& variables() const noexcept { return variables_; }

    // The same as identifiers.
    std::vector<NodeId> execution_order() const;
    std::vector<std::vector<NodeId>> level_ids() const;
    // Per node position: the index of its level, or kUnscheduled.
    static constexpr std::uint32_t kUnscheduled = UINT32_MAX;
    std::vector<std::uint32_t> level_of_positions() const;

    // The position of the first node with identifier `id`.
    std::optional<NodePosition> position_of(NodeId id) const noexcept;
    const Node* find_node(NodeId id) const noexcept {
        const std::optional<NodePosition> position = position_of(id);
        return position ? &nodes_[*position] : nullptr;
    }
    bool ids_unique() const noexcept { return ids_unique_; }

private:
    void build_index();

    std::vector<Node> nodes_;
    std::vector<NodePosition> order_;
    Levels levels_;
    Variables variables_;
    // Identifier -> position of its first node: a dense table when identifiers are compact (as
    // the builder makes them), a hash map otherwise.
    std::vector<NodePosition> dense_index_;
    std::unordered_map<NodeId, NodePosition> sparse_index_;
    bool ids_unique_ = true;
};

} // namespace vantorix
