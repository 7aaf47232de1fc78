#include "dag/run_trace.hpp"

#include <algorithm>
#include <cstdint>

namespace vantorix {

namespace {

// Adds what one node published to `values`, each variable once with its latest value; `place_of`
// says, per variable, where `values` holds it (SIZE_MAX: not yet).
void merge_into(std::vector<VariableValue>& values, std::span<const PublishedValue> published,
                std::vector<std::size_t>& place_of) {
    for (const PublishedValue& entry : published) {
        std::size_t& place = place_of[entry.variable];
        if (place == SIZE_MAX) {
            place = values.size();
            values.push_back({entry.variable, &entry.value});
        } else {
            values[place].value = &entry.value;
        }
    }
}

void forget_places(const std::vector<VariableValue>& values, std::vector<std::size_t>& place_of) {
    for (const VariableValue& value : values) {
        place_of[value.variable] = SIZE_MAX;
    }
}

} // namespace

// A run schedules every identifier once (the first node that has it), so each node that ran has
// an entry of its own. A skipped node did not run and has none.
std::vector<Outputs> RunTrace::node_outputs(const Dag& dag) const {
    std::vector<Outputs> folded;
    folded.reserve(nodes_.size());
    std::vector<std::size_t> place_of(dag.variables().size(), SIZE_MAX);
    for (std::size_t k = 0; k < nodes_.size(); ++k) {
        if (nodes_[k].skipped) {
            continue;
        }
        Outputs& outputs = folded.emplace_back(Outputs{nodes_[k].node->id, {}});
        merge_into(outputs.values, published(k), place_of);
        forget_places(outputs.values, place_of);
    }
    return folded;
}

std::vector<Outputs> RunTrace::branch_outputs(const Dag& dag) const {
    // The nodes of each branch that ran, in the order they ran: a stable sort by branch.
    std::vector<std::size_t> branched;
    for (std::size_t k = 0; k < nodes_.size(); ++k) {
        if (nodes_[k].node->branch_id && !nodes_[k].skipped) {
            branched.push_back(k);
        }
    }
    auto branch_of = [this](std::size_t k) { return *nodes_[k].node->branch_id; };
    std::stable_sort(branched.begin(), branched.end(),
                     [&](std::size_t a, std::size_t b) { return branch_of(a) < branch_of(b); });
    std::vector<Outputs> folded;
    std::vector<std::size_t> place_of(dag.variables().size(), SIZE_MAX);
    for (std::size_t i = 0; i < branched.size(); ++i) {
        if (i == 0 || branch_of(branched[i]) != branch_of(branched[i - 1])) {
            if (!folded.empty()) {
                forget_places(folded.back().values, place_of);
            }
            folded.push_back({branch_of(branched[i]), {}});
        }
        merge_into(folded.back().values, published(branched[i]), place_of);
    }
    return folded;
}

void RunTrace::clear_published() noexcept {
    values_ = {};
    ends_.assign(ends_.size(), 0);
}

} // namespace vantorix
