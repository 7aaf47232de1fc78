// The levels of a DAG: groups of scheduled nodes that may run at the same time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vantorix {

// Position of a node in `Dag::nodes()`.
using NodePosition = std::uint32_t;

// Levels stored flat: one list of node positions, level after level (normally the execution
// order itself, see `Dag::Dag`), and the offset where each level starts.
class Levels {
public:
    std::size_t size() const noexcept { return offsets_.empty() ? 0 : offsets_.size() - 1; }
    bool empty() const noexcept { return size() == 0; }
    std::span<const NodePosition> operator[](std::size_t level) const noexcept {
        return {positions_ + offsets_[level], offsets_[level + 1] - offsets_[level]};
    }

private:
    friend class Dag;
    const NodePosition* positions_ = nullptr; // the owning DAG's order, or own_positions_
    std::vector<NodePosition> own_positions_;
    std::vector<std::uint32_t> offsets_;
};

} // namespace vantorix
