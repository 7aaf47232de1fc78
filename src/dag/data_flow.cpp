#include "dag/data_flow.hpp"

namespace vantorix {

DataFlow::DataFlow(const Dag& dag, bool parallel)
    : dag_(&dag), parallel_(parallel), writers_(dag.variables().entry_count(), kNone) {
    const Variables& variables = dag.variables();
    // Per variable: the last writer in merge order, and the last one a node can see.
    std::vector<NodePosition> last(variables.size(), kNone);
    std::vector<NodePosition> seen(variables.size(), kNone);
    auto group = [&](std::span<const NodePosition> nodes) {
        for (const NodePosition position : nodes) {
            const Node& node = dag.nodes()[position];
            NodePosition* writer = writers_.data() + variables.entry_offset(position);
            for (const VariableId variable : variables.inputs(position, node)) {
                *writer++ = variable == Variables::kUnpublished ? kNone : seen[variable];
            }
            // A name published twice by one node follows the writer before the node, twice.
            const std::span<const VariableId> outputs = variables.outputs(position, node);
            for (const VariableId variable : outputs) {
                *writer++ = last[variable];
            }
            for (const VariableId variable : outputs) {
                last[variable] = position;
            }
            order_.push_back(position);
        }
        for (const NodePosition position : nodes) {
            for (const VariableId variable : variables.outputs(position, dag.nodes()[position])) {
                seen[variable] = last[variable];
            }
        }
    };
    order_.reserve(dag.order().size());
    if (parallel) {
        for (std::size_t level = 0; level < dag.levels().size(); ++level) {
            group(dag.levels()[level]);
        }
    } else {
        for (const NodePosition& position : dag.order()) {
            group({&position, 1});
        }
    }
}

std::vector<DataFlow::Finding> DataFlow::findings() const {
    const Dag& dag = *dag_;
    const Variables& variables = dag.variables();
    const std::vector<std::uint32_t> level_of = dag.level_of_positions();
    // Per variable, the two last nodes of the current level that publish it, in level order.
    std::vector<NodePosition> publisher(variables.size(), kNone);
    std::vector<NodePosition> earlier_publisher(variables.size(), kNone);
    // Per variable, the last node found writing it where another node of its level does.
    std::vector<NodePosition> found_writing(variables.size(), kNone);
    std::vector<Finding> found;
    std::size_t begin = 0;
    while (begin < order_.size()) {
        // The nodes of one level (in sequential mode, every node stands alone).
        std::size_t end = begin + 1;
        while (parallel_ && end < order_.size() &&
               level_of[order_[end]] == level_of[order_[begin]]) {
            ++end;
        }
        const std::span<const NodePosition> group(order_.data() + begin, end - begin);
        for (const NodePosition position : group) {
            for (const VariableId variable : variables.outputs(position, dag.nodes()[position])) {
                if (publisher[variable] != position) {
                    earlier_publisher[variable] = publisher[variable];
                    publisher[variable] = position;
                }
            }
        }
        for (const NodePosition position : group) {
            const Node& node = dag.nodes()[position];
            const std::span<const VariableId> inputs = variables.inputs(position, node);
            const std::span<const NodePosition> seen = reads(position, node);
            std::size_t index = 0;
            for (auto entry = node.input_mapping.begin(); entry != node.input_mapping.end();
                 ++entry, ++index) {
                const VariableId variable = inputs[index];
                NodePosition other = kNone;
                if (parallel_ && variable != Variables::kUnpublished) {
                    other = publisher[variable] != position ? publisher[variable]
                                                            : earlier_publisher[variable];
                }
                if (other != kNone) {
                    found.push_back({position, (*entry).first, Concern::SameLevelRead, other});
                } else if (seen[index] == kNone) {
                    found.push_back({position, (*entry).first, Concern::UnpublishedRead, kNone});
                }
            }
            if (!parallel_) {
                continue;
            }
            const std::span<const NodePosition> follows = writes(position, node);
            const std::span<const VariableId> outputs = variables.outputs(position, node);
            index = 0;
            for (auto entry = node.output_mapping.begin(); entry != node.output_mapping.end();
                 ++entry, ++index) {
                const NodePosition previous = follows[index];
                // A name the node publishes twice is found once.
                NodePosition& found_by = found_writing[outputs[index]];
                if (previous != kNone && level_of[previous] == level_of[position] &&
                    found_by != position) {
                    found_by = position;
                    found.push_back(
                        {position, (*entry).second, Concern::SameLevelWrite, previous});
                }
            }
        }
        for (const NodePosition position : group) {
            for (const VariableId variable : variables.outputs(position, dag.nodes()[position])) {
                publisher[variable] = kNone;
                earlier_publisher[variable] = kNone;
            }
        }
        begin = end;
    }
    return found;
}

} // namespace vantorix
