// What a node function may learn about the run that calls it, and tell it: its failure, how deep
// runs are nested, and that the run must stop.
#pragma once

#include "dag/run_trace.hpp"

#include <chrono>
#include <cstddef>
#include <exception>
#include <stdexcept>
#include <utility>

namespace vantorix {

// One of the two engine failures of a parallel run: "a scoped thread panicked" or
// "failed to spawn thread: ...". Nothing of the run is returned.
class ExecutionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Base for exceptions with which a node function (or a hook of the run) asks to stop the run. The
// run stops cleanly: workers already started finish and are joined, no further node, batch or
// level starts, and the exception reaches the caller of the run as itself.
class ExecutionInterrupt : public std::exception {
public:
    const char* what() const noexcept override { return "execution interrupted"; }
};

// The first failed node of a run that stops on failure (OnFailure::Stop), with its trace.
class NodeFailed : public ExecutionInterrupt {
public:
    explicit NodeFailed(NodeTrace failed_node) : node(std::move(failed_node)) {}
    NodeTrace node;
};

// Lets the node function running on this thread tell a traced run that it failed, `error` being
// what went wrong. Does nothing unless a traced run called this node on this thread: the nodes of
// a run nested inside a traced node are not taken for that node.
void report_node_failure(GraphData error);
// Whether `report_node_failure` would keep anything, so that a function need not build an
// error that nobody reads.
bool node_failure_wanted() noexcept;
// Whether the traced run that called the node running on this thread wants its failures told to
// it alone: the function reports them and writes them nowhere else.
bool node_failure_quiet() noexcept;

// How many runs this thread is inside of. A run started from a node of another run is one deeper
// than that run, whichever thread it starts on: a worker runs its node at the depth of the run
// that started the worker. 0 outside any run.
std::size_t run_depth() noexcept;

namespace detail {

// The trace of the node this thread is running for a traced run, or null; and whether that run
// wants failures quiet.
NodeTrace*& current_node_trace() noexcept;
bool& current_failures_quiet() noexcept;
std::size_t& current_run_depth() noexcept;
std::uint64_t this_thread_ident() noexcept;

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

// One run on this thread: one level deeper, and the node this thread may be running for an
// enclosing traced run hidden, so that failures of this run's nodes are not taken for it.
class RunScope {
public:
    RunScope() noexcept
        : depth_(current_run_depth() + 1), saved_(std::exchange(current_node_trace(), nullptr)),
          saved_quiet_(std::exchange(current_failures_quiet(), false)) {}
    ~RunScope() {
        current_node_trace() = saved_;
        current_failures_quiet() = saved_quiet_;
    }
    RunScope(const RunScope&) = delete;
    RunScope& operator=(const RunScope&) = delete;

private:
    RunDepthScope depth_;
    NodeTrace* saved_;
    bool saved_quiet_;
};

// The clock of traced runs: steady, so that times taken on different threads compare.
using RunClock = std::chrono::steady_clock;

// Runs `step`, the execution of the node of `trace`, on this thread, timing it from `run_start`
// and letting the node function report its failure into `trace` (and nowhere else when `quiet`).
template <class Step>
void run_traced(NodeTrace& trace, bool quiet, RunClock::time_point run_start, Step&& step) {
    struct Arm {
        Arm(NodeTrace& armed, bool quiet_failures) {
            current_node_trace() = &armed;
            current_failures_quiet() = quiet_failures;
        }
        ~Arm() {
            current_node_trace() = nullptr;
            current_failures_quiet() = false;
        }
        Arm(const Arm&) = delete;
        Arm& operator=(const Arm&) = delete;
    } arm(trace, quiet);
    trace.thread = this_thread_ident();
    const RunClock::time_point start = RunClock::now();
    trace.started = std::chrono::duration<double>(start - run_start).count();
    step();
    trace.seconds = std::chrono::duration<double>(RunClock::now() - start).count();
}

} // namespace detail

} // namespace vantorix
