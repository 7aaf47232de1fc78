#include "node/node.hpp"

#include <string_view>
#include <unordered_map>

namespace vantorix {

VariableMapping VariableMapping::from_pairs(std::vector<Pair> pairs) {
    VariableMapping mapping;
    mapping.pairs_.reserve(pairs.size());
    if (pairs.size() <= 8) {
        for (Pair& pair : pairs) {
            mapping.set(std::move(pair.first), std::move(pair.second));
        }
        return mapping;
    }
    // Larger lists: find repeated keys through a hash map so that reading stays linear. The map
    // views the keys already stored in the mapping, which the reservation above keeps in place;
    // a view of a key that is then moved away would no longer name it.
    std::unordered_map<std::string_view, std::size_t> position_of;
    position_of.reserve(pairs.size());
    for (Pair& pair : pairs) {
        const auto found = position_of.find(pair.first);
        if (found != position_of.end()) {
            mapping.pairs_[found->second].second = std::move(pair.second);
            continue;
        }
        mapping.pairs_.push_back(std::move(pair));
        position_of.emplace(mapping.pairs_.back().first, mapping.pairs_.size() - 1);
    }
    return mapping;
}

void VariableMapping::set(std::string key, std::string value) {
    for (Pair& pair : pairs_) {
        if (pair.first == key) {
            pair.second = std::move(value);
            return;
        }
    }
    pairs_.emplace_back(std::move(key), std::move(value));
}

Node::Node(NodeId node_id, std::optional<std::string> node_label, NodeFunctionPtr node_function,
           VariableMapping inputs, VariableMapping outputs)
    : id(node_id), label(std::move(node_label)), function(std::move(node_function)),
      input_mapping(std::move(inputs)), output_mapping(std::move(outputs)) {}

Context Node::execute(const Context& context) const {
    Context inputs;
    if (!context.empty() && !input_mapping.empty()) {
        inputs.reserve(input_mapping.size());
        for (const auto& [broadcast_var, impl_var] : input_mapping) {
            if (const GraphData* value = context.find(broadcast_var)) {
                inputs.insert_copy(impl_var, *value);
            }
        }
    }
    Context outputs = (*function)(inputs, variant_params);
    Context result;
    if (outputs.empty() || output_mapping.empty()) {
        return result;
    }
    result.reserve(output_mapping.size());
    for (const auto& [impl_var, broadcast_var] : output_mapping) {
        if (GraphData* value = outputs.find(impl_var)) {
            // Implementation variables are unique keys, so each output is taken at most once
            // and can be moved rather than copied.
            result.insert(broadcast_var, std::move(*value));
        }
    }
    return result;
}

} // namespace vantorix
