// The variables of a DAG, numbered once when it is built, so that a run keeps its context in an
// array instead of a map of owned names.
#pragma once

#include "dag/levels.hpp"
#include "node/node.hpp"

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

namespace vantorix {

using VariableId = std::uint32_t;

// Every name that a scheduled node publishes is a variable, numbered 0 to size() - 1, and every
// mapping entry of a scheduled node names its variable by number.
class Variables {
public:
    // In a node's entries, a name that no scheduled node publishes: only the context a run starts
    // from can hold it.
    static constexpr VariableId kUnpublished = UINT32_MAX;

    Variables() = default;
    Variables(const std::vector<Node>& nodes, std::span<const NodePosition> scheduled);

    std::uint32_t size() const noexcept { return count_; }

    // The variable of each input-mapping entry of the node at `position`, in mapping order
    // (empty for a node that is not scheduled).
    std::span<const VariableId> inputs(NodePosition position, const Node& node) const noexcept {
        return {entries_.data() + offsets_[position],
                offsets_[position] == offsets_[position + 1] ? 0 : node.input_mapping.size()};
    }
    // The same for its output-mapping entries.
    std::span<const VariableId> outputs(NodePosition position, const Node& node) const noexcept {
        const std::size_t end = offsets_[position + 1];
        return {entries_.data() + end -
                    (offsets_[position] == end ? 0 : node.output_mapping.size()),
                offsets_[position] == end ? 0 : node.output_mapping.size()};
    }

    // Where the entries of the node at `position` start among all entries (inputs, then
    // outputs), so that other tables can keep one value per entry beside them.
    std::size_t entry_offset(NodePosition position) const noexcept { return offsets_[position]; }
    std::size_t entry_count() const noexcept { return entries_.size(); }

    // Calls `visit(variable, name)` once for every variable.
    void for_each(const std::vector<Node>& nodes,
                  const std::function<void(VariableId, std::string_view)>& visit) const;

private:
    // Per node position, where its entries start; one more at the end.
    std::vector<std::uint32_t> offsets_;
    std::vector<VariableId> entries_;
    std::uint32_t count_ = 0;
};

} // namespace vantorix
