// The data flow of a DAG as its mappings lay it out: which node's value each read sees, which
// writer each write follows, and where the two modes of running will differ.
#pragma once

#include "dag/dag.hpp"

#include <span>
#include <string_view>
#include <vector>

namespace vantorix {

// In the order a run merges results (parallel: level by level, each level in level order;
// sequential: the execution order). What a node can see: in parallel mode the nodes of earlier
// levels, in sequential mode the nodes before it. A node may still publish nothing at run time
// (it fails, or its function leaves an output out): this is what the mappings allow.
class DataFlow {
public:
    static constexpr NodePosition kNone = UINT32_MAX;

    DataFlow(const Dag& dag, bool parallel);

    // The scheduled nodes in merge order.
    std::span<const NodePosition> order() const noexcept { return order_; }
    // Per input-mapping entry of the node at `position`: the last node in merge order, among
    // those it can see, that publishes the name; kNone when none does.
    std::span<const NodePosition> reads(NodePosition position, const Node& node) const noexcept {
        return {writers_.data() + dag_->variables().entry_offset(position),
                dag_->variables().inputs(position, node).size()};
    }
    // Per output-mapping entry: the previous node in merge order that publishes the name, or
    // kNone.
    std::span<const NodePosition> writes(NodePosition position, const Node& node) const noexcept {
        const std::span<const VariableId> outputs = dag_->variables().outputs(position, node);
        return {writers_.data() + dag_->variables().entry_offset(position) +
                    dag_->variables().inputs(position, node).size(),
                outputs.size()};
    }

    enum class Concern { UnpublishedRead, SameLevelRead, SameLevelWrite };
    struct Finding {
        NodePosition node;
        std::string_view name;
        Concern concern;
        NodePosition other; // kNone for an unpublished read
    };
    // What may go wrong, node by node in merge order: a read that no node it can see publishes
    // (only the run's initial context can hold it); in parallel mode a read of a name that another
    // node of its own level publishes (the two modes differ), and two nodes of one level that
    // publish one name (the winner depends on thread timing).
    std::vector<Finding> findings() const;

private:
    const Dag* dag_;
    bool parallel_;
    std::vector<NodePosition> order_;
    std::vector<NodePosition> writers_; // one per mapping entry, beside the DAG's variables
};

} // namespace vantorix
