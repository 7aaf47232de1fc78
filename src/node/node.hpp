// One step of a graph: a node function plus the variables it reads and publishes.
#pragma once

#include "graph_data/graph_data.hpp"
#include "node/small_array.hpp"
#include "node/variable_mapping.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantorix {

using NodeId = std::uint64_t;
using BranchId = std::uint64_t;

// The identifiers a node waits for, in order. Nodes made by the builder wait for at most one
// other node, so a single identifier is kept inline and only longer lists are allocated, with
// their capacity in front of them.
class Dependencies {
public:
    using value_type = NodeId;
    using iterator = NodeId*;
    using const_iterator = const NodeId*;

    Dependencies() noexcept : inline_id_(0) {}
    Dependencies(std::initializer_list<NodeId> ids) : Dependencies() {
        assign(ids.begin(), ids.size());
    }
    Dependencies(const std::vector<NodeId>& ids) : Dependencies() {
        assign(ids.data(), ids.size());
    }
    Dependencies(const Dependencies& other) : Dependencies() {
        assign(other.begin(), other.size());
    }
    Dependencies(Dependencies&& other) noexcept;
    Dependencies& operator=(const Dependencies& other);
    Dependencies& operator=(Dependencies&& other) noexcept;
    ~Dependencies();

    void push_back(NodeId id);

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    NodeId& operator[](std::size_t i) noexcept { return data()[i]; }
    NodeId operator[](std::size_t i) const noexcept { return data()[i]; }
    iterator begin() noexcept { return data(); }
    iterator end() noexcept { return data() + size_; }
    const_iterator begin() const noexcept { return data(); }
    const_iterator end() const noexcept { return data() + size_; }

    friend bool operator==(const Dependencies& a, const Dependencies& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }
    friend bool operator==(const Dependencies& a, const std::vector<NodeId>& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }

private:
    bool is_inline() const noexcept { return size_ <= 1; }
    NodeId* data() noexcept { return is_inline() ? &inline_id_ : heap_ + 1; }
    const NodeId* data() const noexcept { return is_inline() ? &inline_id_ : heap_ + 1; }
    std::size_t capacity() const noexcept {
        return is_inline() ? 1 : static_cast<std::size_t>(heap_[0]);
    }
    void assign(const NodeId* ids, std::size_t count);
    void release() noexcept;

    union {
        NodeId inline_id_;
        NodeId* heap_; // heap_[0] is the capacity, the identifiers follow
    };
    std::size_t size_ = 0;
};

struct Node {
    NodeId id;
    std::optional<std::string> label;
    NodeFunctionPtr function;
    VariableMapping input_mapping;  // broadcast variable -> implementation variable
    VariableMapping output_mapping; // implementation variable -> broadcast variable
    Context variant_params;         // handed to the function; nothing fills it
    Dependencies dependencies;
    std::optional<BranchId> branch_id;
    bool is_branch_entry = false;

    Node(NodeId node_id, std::optional<std::string> node_label, NodeFunctionPtr node_function,
         VariableMapping inputs, VariableMapping outputs);

    Node(Node&&) noexcept = default;
    Node& operator=(Node&&) noexcept = default;
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    // Runs the node: gathers its inputs with `find(index, entry)`, the value the context holds for
    // input-mapping entry `index` or null, calls its function once, and hands
    // `publish(index, entry, value)` each output that output-mapping entry `index` publishes, in
    // mapping order. The node never reads or writes a context itself.
    template <class Find, class Publish> void run(Find&& find, Publish&& publish) const {
        run(std::forward<Find>(find), std::forward<Publish>(publish),
            [this](std::span<const InputRef> inputs, PublishedOutputs& outputs) {
                function->call(inputs, variant_params, outputs);
            });
    }

    // The same, with `call(inputs, outputs)` in place of the call of its function.
    template <class Find, class Publish, class Call>
    void run(Find&& find, Publish&& publish, Call&& call) const {
        SmallArray<InputRef, 4> inputs(input_mapping.size());
        std::size_t found = 0;
        std::size_t index = 0;
        for (auto entry = input_mapping.begin(); entry != input_mapping.end(); ++entry) {
            if (const GraphData* value = find(index++, entry)) {
                inputs[found++] = InputRef{(*entry).second, value};
            }
        }
        const std::size_t count = output_mapping.size();
        SmallArray<std::string_view, 4> names(count);
        index = 0;
        for (const auto [impl_var, broadcast_var] : output_mapping) {
            names[index++] = impl_var;
        }
        SmallArray<std::optional<GraphData>, 4> values(count);
        PublishedOutputs outputs(names.first(count), values.first(count));
        call(inputs.first(found), outputs);
        index = 0;
        for (auto entry = output_mapping.begin(); entry != output_mapping.end();
             ++entry, ++index) {
            if (values[index]) {
                publish(index, entry, std::move(*values[index]));
            }
        }
    }
};

} // namespace vantorix
