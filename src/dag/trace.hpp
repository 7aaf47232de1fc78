// Traced runs: what a run learns about each node, measured on the thread that runs it, and the
// channel through which a node function tells the run that it failed.
#pragma once

#include "graph_data/graph_data.hpp"
#include "node/node.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

namespace vantorix {

class Dag;

struct NodeTrace {
    const Node* node = nullptr;
    // Wall time of the node's step on its thread: gathering inputs, the function, publishing.
    double seconds = 0.0;
    // The thread that ran it, as pthread_self() names it (Python's threading.get_ident()).
    std::uint64_t thread = 0;
    // The function reported a failure with `report_node_failure`.
    bool failed = false;
    // What it reported with the failure (a host object), or None.
    GraphData error;
};

// How many runs this thread is inside of. A run started from a node of another run is one deeper
// than that run, whichever thread it starts on: a worker runs its node at the depth of the run
// that started the worker. 0 outside any run.
std::size_t run_depth() noexcept;

// Lets the node function running on this thread tell a traced run that it failed, `error` being
// what went wrong. Does nothing unless a traced run called this node on this thread: the nodes of
// a run nested inside a traced node are not taken for that node.
void report_node_failure(GraphData error);
// Whether `report_node_failure` would record anything, so that a function need not build an
// error that nobody reads.
bool node_failure_wanted() noexcept;

// The DAG as a Mermaid flowchart of one traced run: every box says how its node ended (and, with
// `durations`, how long it took), boxes are coloured by status classes, and the arrows and branch
// highlights are those of `Dag::to_mermaid`. Texts taken from labels and variable names are
// escaped so that the renderer shows them as they are. Nodes without a trace did not run.
std::string run_to_mermaid(const Dag& dag, std::span<const NodeTrace> traces, bool durations);

namespace detail {

// The trace of the node this thread is running for a traced run, or null.
NodeTrace*& current_trace() noexcept;
std::size_t& current_run_depth() noexcept;

// Sets this thread's run depth for the length of a scope.
class RunDepthScope {
public:
    explicit RunDepthScope(std::size_t depth) noexcept
        : saved_(std::exchange(current_run_depth(), depth)) {}
    ~RunDepthScope() { current_run_depth() = saved_; }
    RunDepthScope(const RunDepthScope&) = delete;
    RunDepthScope& operator=(const RunDepthScope&) = delete;

private:
    std::size_t saved_;
};
std::uint64_t this_thread_ident() noexcept;

// Runs `step`, the execution of the node of `trace`, on this thread, timing it and letting the
// node function report its failure into `trace`.
template <class Step> void run_traced(NodeTrace& trace, Step&& step) {
    struct Arm {
        explicit Arm(NodeTrace& armed) { current_trace() = &armed; }
        ~Arm() { current_trace() = nullptr; }
        Arm(const Arm&) = delete;
        Arm& operator=(const Arm&) = delete;
    } arm(trace);
    trace.thread = this_thread_ident();
    const auto start = std::chrono::steady_clock::now();
    step();
    trace.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Hides, for the length of one run, the traced node that this thread may be running for an
// enclosing run, so that failures of the inner run's nodes are not reported as that node's.
class TraceIsolation {
public:
    TraceIsolation() noexcept : saved_(current_trace()) { current_trace() = nullptr; }
    ~TraceIsolation() { current_trace() = saved_; }
    TraceIsolation(const TraceIsolation&) = delete;
    TraceIsolation& operator=(const TraceIsolation&) = delete;

private:
    NodeTrace* saved_;
};

} // namespace detail

} // namespace vantorix
