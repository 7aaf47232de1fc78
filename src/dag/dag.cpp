#include "dag/dag.hpp"

#include <algorithm>

namespace vantorix {

namespace {

constexpr NodePosition kNoPosition = UINT32_MAX;

} // namespace

void Dag::build_index() {
    const std::size_t count = nodes_.size();
    NodeId max_id = 0;
    for (const Node& node : nodes_) {
        max_id = std::max(max_id, node.id);
    }
    const bool dense = count > 0 && max_id < 4 * static_cast<NodeId>(count) + 64;
    if (dense) {
        dense_index_.assign(static_cast<std::size_t>(max_id) + 1, kNoPosition);
    } else {
        sparse_index_.reserve(count);
    }
    for (std::size_t position = 0; position < count; ++position) {
        const NodeId id = nodes_[position].id;
        const auto pos = static_cast<std::uint32_t>(position);
        bool first;
        if (dense) {
            first = dense_index_[id] == kNoPosition;
            if (first) {
                dense_index_[id] = pos;
            }
        } else {
            first = sparse_index_.try_emplace(id, pos).second;
        }
        ids_unique_ = ids_unique_ && first;
    }
}

std::optional<NodePosition> Dag::position_of(NodeId id) const noexcept {
    NodePosition position = kNoPosition;
    if (!dense_index_.empty()) {
        position = id < dense_index_.size() ? dense_index_[id] : kNoPosition;
    } else if (const auto found = sparse_index_.find(id); found != sparse_index_.end()) {
        position = found->second;
    }
    return position == kNoPosition ? std::nullopt : std::optional<NodePosition>(position);
}

std::vector<NodeId> Dag::execution_order() const {
    std::vector<NodeId> ids;
    ids.reserve(order_.size());
    for (const NodePosition position : order_) {
        ids.push_back(nodes_[position].id);
    }
    return ids;
}

std::vector<std::vector<NodeId>> Dag::level_ids() const {
    std::vector<std::vector<NodeId>> lists(levels_.size());
    for (std::size_t level = 0; level < levels_.size(); ++level) {
        for (const NodePosition position : levels_[level]) {
            lists[level].push_back(nodes_[position].id);
        }
    }
    return lists;
}

std::vector<std::uint32_t> Dag::level_of_positions() const {
    std::vector<std::uint32_t> level_of(nodes_.size(), kUnscheduled);
    for (std::size_t level = 0; level < levels_.size(); ++level) {
        for (const NodePosition position : levels_[level]) {
            level_of[position] = static_cast<std::uint32_t>(level);
        }
    }
    return level_of;
}

// Kahn's algorithm over node positions. Every identifier is represented by the position of its
// first node, so repeated identifiers share one in-degree and one dependents list, exactly as a
// map keyed by identifier would. A dependency on an unknown identifier is counted in the
// dependent's in-degree but can never be satisfied, which leaves the dependent (and everything
// behind it) unscheduled.
//
// Nodes are large and their dependency lists live apart from them, so a graph of many nodes is
// read from memory rather than from cache: the nodes are walked once to gather what ordering
// needs into compact arrays, and every later step works on those.
Dag::Dag(std::vector<Node> nodes) : nodes_(std::move(nodes)) {
    // The builder grows its list geometrically; the DAG keeps it for its whole life.
    if (nodes_.capacity() - nodes_.size() > nodes_.size() / 8) {
        nodes_.shrink_to_fit();
    }
    build_index();
    const std::size_t count = nodes_.size();
    if (count == 0) {
        return;
    }

    // Per node: its representative position, and its dependencies as representative positions
    // (kNoPosition for an identifier no node has), stored back to back.
    auto index_of = [this](NodeId id) { return position_of(id).value_or(kNoPosition); };
    std::vector<std::uint32_t> self(count);
    std::vector<std::size_t> dependency_start(count + 1, 0);
    std::vector<std::uint32_t> dependency_position;
    for (std::size_t position = 0; position < count; ++position) {
        const Node& node = nodes_[position];
        self[position] = index_of(node.id);
        for (const NodeId dependency : node.dependencies) {
            dependency_position.push_back(index_of(dependency));
        }
        dependency_start[position + 1] = dependency_position.size();
    }

    std::vector<std::size_t> in_degree(count, 0);
    for (std::size_t position = 0; position < count; ++position) {
        in_degree[self[position]] += dependency_start[position + 1] - dependency_start[position];
    }
    // Dependents lists in node-list order, as appending while walking the list gives them: each
    // list's end is counted first, then the lists are filled from the back.
    std::vector<std::size_t> dependents_start(count + 1, 0);
    for (const std::uint32_t position : dependency_position) {
        if (position != kNoPosition) {
            ++dependents_start[position];
        }
    }
    for (std::size_t i = 1; i <= count; ++i) {
        dependents_start[i] += dependents_start[i - 1];
    }
    std::vector<std::uint32_t> dependents(dependents_start[count]);
    for (std::size_t node = count; node-- > 0;) {
        for (std::size_t entry = dependency_start[node + 1]; entry-- > dependency_start[node];) {
            const std::uint32_t position = dependency_position[entry];
            if (position != kNoPosition) {
                dependents[--dependents_start[position]] = self[node];
            }
        }
    }

    // The queue is the order itself: positions are appended once and read front to back.
    std::vector<NodePosition>& order = order_;
    order.reserve(count);
    for (std::size_t position = 0; position < count; ++position) {
        if (self[position] == position && in_degree[position] == 0) {
            order.push_back(static_cast<std::uint32_t>(position));
        }
    }
    for (std::size_t head = 0; head < order.size(); ++head) {
        const std::uint32_t ready = order[head];
        for (std::size_t i = dependents_start[ready]; i < dependents_start[ready + 1]; ++i) {
            const std::uint32_t dependent = dependents[i];
            if (--in_degree[dependent] == 0) {
                order.push_back(dependent);
            }
        }
    }
    in_degree = {};
    dependents = {};
    dependents_start = {};
    self = {};

    // Level of a node: 0 without dependencies, else one more than its deepest dependency. A
    // scheduled node's dependencies all name scheduled nodes, so each level is already known.
    std::vector<std::uint32_t> level_of(count, 0);
    std::uint32_t level_count = 0;
    for (const std::uint32_t position : order) {
        std::uint32_t level = 0;
        for (std::size_t entry = dependency_start[position];
             entry < dependency_start[position + 1]; ++entry) {
            level = std::max(level, level_of[dependency_position[entry]] + 1);
        }
        level_of[position] = level;
        level_count = std::max(level_count, level + 1);
    }
    if (order.capacity() - order.size() > order.size() / 8) {
        order.shrink_to_fit();
    }

    levels_.offsets_.assign(static_cast<std::size_t>(level_count) + 2, 0);
    for (const std::uint32_t position : order) {
        ++levels_.offsets_[level_of[position] + 2];
    }
    for (std::size_t level = 2; level < levels_.offsets_.size(); ++level) {
        levels_.offsets_[level] += levels_.offsets_[level - 1];
    }
    // Breadth-first order lists every level after the one before it, so the levels are runs of
    // the order and share its storage. Only repeated identifiers break this: the first node with
    // an identifier takes its level from its own dependencies, but waits for those of every node
    // with that identifier. Then the levels get a list of their own, each in execution order.
    const bool levels_in_order =
        std::is_sorted(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
            return level_of[a] < level_of[b];
        });
    // Here offsets_[k + 1] is where level k starts.
    if (levels_in_order) {
        levels_.positions_ = order.data();
        levels_.offsets_.erase(levels_.offsets_.begin());
    } else {
        // Filling level k moves offsets_[k + 1] to where level k + 1 starts.
        levels_.own_positions_.resize(order.size());
        for (const NodePosition position : order) {
            levels_.own_positions_[levels_.offsets_[level_of[position] + 1]++] = position;
        }
        levels_.positions_ = levels_.own_positions_.data();
        levels_.offsets_.pop_back();
    }
    variables_ = Variables(nodes_, order);
}

} // namespace vantorix
