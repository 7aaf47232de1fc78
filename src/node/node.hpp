// One step of a graph: a node function plus the variables it reads and publishes.
#pragma once

#include "graph_data/graph_data.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vantorix {

using NodeId = std::uint64_t;
using BranchId = std::uint64_t;

// A text-to-text map with unique keys. Stored as a vector of pairs: node mappings are small and
// only ever walked, and a vector keeps a node compact. Iteration order is unspecified to callers.
class VariableMapping {
public:
    using Pair = std::pair<std::string, std::string>;
    using const_iterator = std::vector<Pair>::const_iterator;

    VariableMapping() = default;
    // Later pairs replace earlier ones with the same key.
    static VariableMapping from_pairs(std::vector<Pair> pairs);

    // Inserts or replaces the value under `key`.
    void set(std::string key, std::string value);

    std::size_t size() const noexcept { return pairs_.size(); }
    bool empty() const noexcept { return pairs_.empty(); }
    const_iterator begin() const noexcept { return pairs_.begin(); }
    const_iterator end() const noexcept { return pairs_.end(); }

private:
    std::vector<Pair> pairs_;
};

struct Node {
    NodeId id;
    std::optional<std::string> label;
    NodeFunctionPtr function;
    VariableMapping input_mapping;  // broadcast variable -> implementation variable
    VariableMapping output_mapping; // implementation variable -> broadcast variable
    Context variant_params;         // handed to the function; nothing fills it
    std::vector<NodeId> dependencies;
    std::optional<BranchId> branch_id;
    bool is_branch_entry = false;

    Node(NodeId node_id, std::optional<std::string> node_label, NodeFunctionPtr node_function,
         VariableMapping inputs, VariableMapping outputs);

    Node(Node&&) noexcept = default;
    Node& operator=(Node&&) noexcept = default;
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    // Gathers the mapped inputs from `context`, calls the function and returns only the mapped
    // outputs, keyed by broadcast variable. Reads `context`, never writes it.
    Context execute(const Context& context) const;
};

} // namespace vantorix
