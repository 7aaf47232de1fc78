// What a traced run keeps of every node it ran: how it went, and a copy of what it published.
#pragma once

#include "dag/dag.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vantorix {

// How one node of a traced run went, measured on the thread that ran it.
struct NodeTrace {
    const Node* node = nullptr;
    // Wall time of the node's step on its thread: gathering inputs, the function, publishing.
    double seconds = 0.0;
    // The thread that ran it, as pthread_self() names it.
    std::uint64_t thread = 0;
    // The function reported a failure with `report_node_failure`.
    bool failed = false;
    // It did not run: a node it reads from failed or did not run either (OnFailure::Skip).
    bool skipped = false;
    // The run's result cache gave its results: its function was not called.
    bool cached = false;
    // What it reported with the failure (a host object), or None.
    GraphData error;
    // Why the run's result cache neither gave nor kept its results (a host object), or None.
    GraphData cache_note;
    // When the step began, in seconds from the start of the run, on the clock of `seconds`.
    double started = 0.0;
};

struct PublishedValue {
    VariableId variable;
    GraphData value;
};

// A variable's value as one entry of a node's or a branch's outputs.
struct VariableValue {
    VariableId variable;
    const GraphData* value;
};

// The outputs of one node (`key` its identifier) or one branch (`key` its identifier).
struct Outputs {
    std::uint64_t key;
    std::vector<VariableValue> values;
};

// The nodes of a run in the order their results were merged, each with what it published.
class RunTrace {
public:
    const std::vector<NodeTrace>& nodes() const noexcept { return nodes_; }
    std::vector<NodeTrace>& nodes() noexcept { return nodes_; }
    // What the k-th node published, in the order of its output mapping (a variable it published
    // twice, twice).
    std::span<const PublishedValue> published(std::size_t k) const noexcept {
        const std::size_t begin = k == 0 ? 0 : ends_[k - 1];
        return {values_.data() + begin, ends_[k] - begin};
    }

    // The outputs of every node that ran (a failed one published nothing; a skipped one did not
    // run), in the order they ran; a variable it published twice once, with the later value.
    std::vector<Outputs> node_outputs(const Dag& dag) const;
    // The outputs of every branch of which a node ran, by identifier: what its nodes published,
    // merged in the order they ran.
    std::vector<Outputs> branch_outputs(const Dag& dag) const;
    // Lets go of the published values.
    void clear_published() noexcept;

    // Tracing, by the run: a copy of one value the node being traced published, then the node's
    // trace itself.
    void add_published(VariableId variable, const GraphData& value) {
        values_.push_back({variable, value});
    }
    void add_node(NodeTrace&& node) {
        nodes_.push_back(std::move(node));
        ends_.push_back(values_.size());
    }
    void reserve(std::size_t nodes) {
        nodes_.reserve(nodes);
        ends_.reserve(nodes);
    }

private:
    std::vector<NodeTrace> nodes_;
    std::vector<PublishedValue> values_;
    std::vector<std::size_t> ends_; // per node, where its stretch of `values_` ends
};

} // namespace vantorix
