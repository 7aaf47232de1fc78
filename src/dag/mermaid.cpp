#include "dag/dag.hpp"

#include <algorithm>
#include <charconv>
#include <unordered_set>

namespace vantorix {

namespace {

void append_id(std::string& out, NodeId id) {
    char digits[24];
    const auto [end, error] = std::to_chars(digits, digits + sizeof digits, id);
    (void)error;
    out.append(digits, end);
}

struct EdgeHash {
    std::size_t operator()(const std::pair<NodeId, NodeId>& edge) const noexcept {
        return std::hash<NodeId>{}(edge.first * 0x9E3779B97F4A7C15ULL ^ edge.second);
    }
};

// Annotations for the arrow dependency -> node: every variable the node reads that the
// dependency publishes, as "variable → implementation name", joined with "<br/>".
void append_annotations(std::string& line, const Node& dependency, const Node& node) {
    bool first = true;
    for (const auto& [broadcast_var, impl_var] : node.input_mapping) {
        const bool published = std::any_of(
            dependency.output_mapping.begin(), dependency.output_mapping.end(),
            [&](const VariableMapping::View& output) { return output.second == broadcast_var; });
        if (!published) {
            continue;
        }
        if (!first) {
            line += "<br/>";
        }
        first = false;
        line += broadcast_var;
        line += " \u2192 ";
        line += impl_var;
    }
}

} // namespace

std::string Dag::to_mermaid() const {
    std::string out;
    to_mermaid(out);
    return out;
}

void Dag::to_mermaid(std::string& out) const {
    out.reserve(out.size() + 9 + nodes_.size() * 40);
    out += "graph TD\n";

    for (const Node& node : nodes_) {
        out += "    ";
        append_id(out, node.id);
        out += "[\"";
        if (node.label) {
            out += *node.label;
        } else {
            out += "Node ";
            append_id(out, node.id);
        }
        out += "\"]\n";
    }

    // A repeated (dependency, node) pair is drawn once. With unique identifiers a pair can only
    // repeat inside one node's list, which is short, so the set is needed only when identifiers
    // repeat or a list is long.
    std::unordered_set<std::pair<NodeId, NodeId>, EdgeHash> drawn;
    std::string annotations;
    for (const Node& node : nodes_) {
        const auto& dependencies = node.dependencies;
        for (std::size_t i = 0; i < dependencies.size(); ++i) {
            const NodeId dependency_id = dependencies[i];
            if (ids_unique_ && dependencies.size() <= 16) {
                if (std::find(dependencies.begin(), dependencies.begin() + static_cast<long>(i),
                              dependency_id) != dependencies.begin() + static_cast<long>(i)) {
                    continue;
                }
            } else if (!drawn.emplace(dependency_id, node.id).second) {
                continue;
            }
            annotations.clear();
            if (const Node* dependency = find_node(dependency_id)) {
                append_annotations(annotations, *dependency, node);
            }
            out += "    ";
            append_id(out, dependency_id);
            if (annotations.empty()) {
                out += " --> ";
            } else {
                out += " -->|";
                out += annotations;
                out += "| ";
            }
            append_id(out, node.id);
            out += '\n';
        }
    }

    for (const Node& node : nodes_) {
        if (node.is_branch_entry) {
            out += "    style ";
            append_id(out, node.id);
            out += " fill:#e1f5ff\n";
        }
    }
}

} // namespace vantorix
