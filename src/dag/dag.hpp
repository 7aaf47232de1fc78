// The executable form of a graph: its nodes, an order that respects their dependencies and the
// levels whose members can run at the same time; plus execution and Mermaid rendering.
#pragma once

#include "dag/trace.hpp"
#include "graph_data/graph_data.hpp"
#include "node/node.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vantorix {

// One of the two engine failures of a parallel run: "a scoped thread panicked" or
// "failed to spawn thread: ...". Nothing of the run is returned.
class ExecutionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Base for exceptions with which a node function (or a wait hook) asks to stop the run. The run
// stops cleanly: workers already started finish and are joined, no further node, batch or level
// starts, and the exception reaches the caller of `execute` as itself.
class ExecutionInterrupt : public std::exception {
public:
    const char* what() const noexcept override { return "execution interrupted"; }
};

struct ExecutionResult {
    Context context;
    std::unordered_map<NodeId, Context> node_outputs;
    std::unordered_map<BranchId, Context> branch_outputs;
};

// Optional behaviour of a run that the host can plug in.
struct ExecutionHooks {
    // Makes the calling thread's wait for a batch of workers wake up: `on_wait` is called when a
    // signal handler has run on that thread (the signal interrupts the wait), when `wait_tick`
    // has passed without either, and once more when the batch has finished. It may throw an
    // `ExecutionInterrupt` to stop the run once the batch has finished; any other exception it
    // throws is likewise held until then and reaches the caller as itself. Without it the wait
    // sleeps until the batch has finished, whatever signals come.
    std::function<void()> on_wait;
    std::chrono::milliseconds wait_tick{20};
    // Test seam: returns an errno value to make starting worker `index` of a batch fail.
    std::function<int(std::size_t index)> spawn_fault;
    // Tracing. When set, every node that runs is timed on its thread and may report a failure
    // (`report_node_failure`), and this is called on the calling thread with the node's trace:
    // right after a node that ran on the calling thread, and for the nodes of a batch of workers
    // once the batch has finished, in the order their results were appended. What it throws
    // stops the run as an `ExecutionInterrupt` from a node does.
    std::function<void(NodeTrace&&)> on_node_traced;
};

// How a diagram writes the texts it takes from the nodes. Absent writers copy them as stored.
struct MermaidText {
    // The text of a node's box, between its quotes.
    std::function<void(std::string& out, const Node& node)> box;
    // One variable name of an arrow's annotation.
    std::function<void(std::string& out, std::string_view name)> name;
};

// Levels stored flat: one list of identifiers (normally the execution order itself, see
// `Dag::Dag`) and the offset where each level starts.
class Levels {
public:
    std::size_t size() const noexcept { return offsets_.empty() ? 0 : offsets_.size() - 1; }
    bool empty() const noexcept { return size() == 0; }
    std::span<const NodeId> operator[](std::size_t level) const noexcept {
        return {ids_ + offsets_[level], offsets_[level + 1] - offsets_[level]};
    }
    std::vector<std::vector<NodeId>> to_lists() const;

private:
    friend class Dag;
    const NodeId* ids_ = nullptr; // the owning DAG's execution order, or own_ids_
    std::vector<NodeId> own_ids_;
    std::vector<std::uint32_t> offsets_;
};

class Dag;

// What a run leaves when only its final context is wanted: one place per variable that some
// scheduled node publishes, numbered when the DAG was built.
class ExecutionValues {
public:
    // Number of variables that hold a value.
    std::size_t size() const noexcept { return count_; }
    // Calls `visit(name, value)` once for every variable that holds a value (in no particular
    // order) and leaves the run empty.
    void drain(const std::function<void(std::string_view name, GraphData& value)>& visit);
    Context to_context() &&;
    // The value of every slot (see `Dag::for_each_slot`), empty where nothing was published.
    std::span<std::optional<GraphData>> slots() noexcept { return values_; }

private:
    friend class Dag;
    const Dag* dag_ = nullptr;
    std::vector<std::optional<GraphData>> values_;
    std::size_t count_ = 0;
};

// What the nodes of a traced run published, one stretch per node: the k-th node whose trace
// reached `ExecutionHooks::on_node_traced` published `of(k)`, a copy of each value with its slot,
// in the order of the node's output mapping (a name it published twice, twice).
struct PublishedRecord {
    struct Value {
        std::uint32_t slot;
        GraphData value;
    };
    std::vector<Value> values;
    std::vector<std::size_t> ends; // per node, where its stretch of `values` ends

    std::span<const Value> of(std::size_t node) const noexcept {
        const std::size_t begin = node == 0 ? 0 : ends[node - 1];
        return {values.data() + begin, ends[node] - begin};
    }
};

class Dag {
public:
    // Orders `nodes` by Kahn's algorithm. Nodes on cycles or behind dependencies that name no
    // node stay in `nodes()` but are left out of `execution_order()` and `levels()`.
    explicit Dag(std::vector<Node> nodes);

    Dag(Dag&&) noexcept = default;
    Dag& operator=(Dag&&) noexcept = default;
    Dag(const Dag&) = delete;
    Dag& operator=(const Dag&) = delete;

    const std::vector<Node>& nodes() const noexcept { return nodes_; }
    const std::vector<NodeId>& execution_order() const noexcept { return execution_order_; }
    const Levels& levels() const noexcept { return levels_; }

    // The first node with identifier `id`, or null.
    const Node* find_node(NodeId id) const noexcept;

    // Runs the DAG from an empty context: one node at a time in `execution_order()`, or level by
    // level with the nodes of a level on worker threads, at most `max_threads` at once (absent:
    // the whole level; 0 counts as 1). Throws `ExecutionError` or an `ExecutionInterrupt`, and
    // std::bad_alloc when memory runs out, on a worker too.
    ExecutionResult execute_detailed(bool parallel, std::optional<std::size_t> max_threads,
                                     const ExecutionHooks& hooks = {}) const;
    // The same, starting from `initial` instead of an empty context.
    ExecutionResult execute_detailed(Context initial, bool parallel,
                                     std::optional<std::size_t> max_threads,
                                     const ExecutionHooks& hooks = {}) const;
    // The final context alone; the per-node and per-branch bookkeeping is never built.
    Context execute(bool parallel, std::optional<std::size_t> max_threads,
                    const ExecutionHooks& hooks = {}) const;
    // The same run, its variables left in their numbered places for the caller to read out.
    ExecutionValues execute_values(bool parallel, std::optional<std::size_t> max_threads,
                                   const ExecutionHooks& hooks = {}) const;

    // The same run starting from `initial`, which the caller keeps: the slots of the variables it
    // shares with the DAG start with copies of its values, and nodes read the others from it.
    // With `record`, a traced run also copies into it what each node published.
    ExecutionValues execute_values(const Context& initial, bool parallel,
                                   std::optional<std::size_t> max_threads,
                                   const ExecutionHooks& hooks,
                                   PublishedRecord* record = nullptr) const;

    // The variables that scheduled nodes publish are numbered 0 to slot_count() - 1 when the DAG
    // is built; `visit(slot, name)` is called once for each.
    std::uint32_t slot_count() const noexcept { return slot_count_; }
    void for_each_slot(
        const std::function<void(std::uint32_t slot, std::string_view name)>& visit) const;

    // In the execution plan, the slot of a variable that no scheduled node publishes.
    static constexpr std::uint32_t kUnpublishedSlot = UINT32_MAX;

    // The DAG as a Mermaid flowchart.
    std::string to_mermaid() const;
    void to_mermaid(std::string& out) const;
    // The same lines, with box texts and variable names written by `text`.
    void to_mermaid(std::string& out, const MermaidText& text) const;

private:
    friend class ExecutionValues;
    static constexpr std::uint32_t kNoPosition = UINT32_MAX;

    void build_index();
    void build_plan();
    // Position of the first node with `id`, or kNoPosition.
    std::uint32_t position_of(NodeId id) const noexcept;
    void run(bool parallel, std::optional<std::size_t> max_threads, const ExecutionHooks& hooks,
             ExecutionResult& result, PublishedRecord* record = nullptr) const;
    void run_planned(bool parallel, std::optional<std::size_t> max_threads,
                     const ExecutionHooks& hooks, const Context* initial, PublishedRecord* record,
                     ExecutionValues& values) const;
    template <class WriteBox, class WriteName>
    void render_mermaid(std::string& out, const WriteBox& write_box,
                        const WriteName& write_name) const;

    std::vector<Node> nodes_;
    std::vector<NodeId> execution_order_;
    Levels levels_;
    // Identifier -> position of its first node: a dense table when identifiers are compact (as
    // the builder makes them), a hash map otherwise.
    std::vector<std::uint32_t> dense_index_;
    std::unordered_map<NodeId, std::uint32_t> sparse_index_;
    bool ids_unique_ = true;
    bool levels_in_order_ = true; // see `Levels`
    // Every variable name a scheduled node publishes has a slot, 0 to slot_count_ - 1. Per
    // scheduled node, in execution order: the slot of each input-mapping entry, then of each
    // output-mapping entry, both in the mappings' iteration order.
    std::vector<std::uint32_t> plan_;
    std::uint32_t slot_count_ = 0;
};

} // namespace vantorix
