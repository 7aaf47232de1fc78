// Running a DAG: one node at a time in execution order, or level by level with the nodes of a
// level on worker threads.
#pragma once

#include "dag/current_run.hpp"
#include "dag/dag.hpp"
#include "dag/result_cache.hpp"
#include "dag/run_trace.hpp"
#include "dag/worker_batch.hpp"

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

namespace vantorix {

// What a traced run does when a node reports a failure.
enum class OnFailure {
    Continue, // go on: the failed node has published nothing
    Stop,     // stop as an interrupt does (running workers finish) and throw NodeFailed
    Skip,     // go on, but leave out every node that reads from a failed or left-out node
};

struct RunOptions {
    // Level by level, with the nodes of a level of two or more on worker threads, at most
    // `max_threads` at once (absent: the whole level; 0 counts as 1).
    bool parallel = false;
    std::optional<std::size_t> max_threads;
    // The variables the run starts with, which the caller keeps; null for an empty context.
    const Context* initial = nullptr;
    // Trace every node that runs: time it, let its function report a failure, and keep a copy
    // of what it published (`RunResult::trace`).
    bool trace = false;
    // With `trace`: called on the calling thread with the trace and the index of a node in it as
    // soon as the node's trace is complete (right after a node on the calling thread; for the
    // nodes of a batch of workers once the batch has finished, in the order their results were
    // appended). What it throws stops the run as an `ExecutionInterrupt` from a node does.
    std::function<void(const RunTrace& trace, std::size_t node)> on_node;
    // With `trace`: what a failed node means for the rest of the run, and whether node functions
    // tell their failures to the trace alone (see `node_failure_quiet`). A node that reads from
    // another is one whose input names that other node as the one it sees (`DataFlow`).
    OnFailure on_failure = OnFailure::Continue;
    bool quiet_failures = false;
    // With `trace`: asked for every node that has a function before it is called, and offered
    // the results of every node whose function succeeded; the caller keeps it. Null: none.
    ResultCache* cache = nullptr;
    // How worker threads start, enter the host of the node functions, and are waited for.
    WorkerHooks workers;
};

struct RunResult {
    // Per variable of the DAG, its value at the end: empty where nothing was published and the
    // initial context held nothing.
    std::vector<std::optional<GraphData>> values;
    RunTrace trace;

    // The final context: the initial one, with every variable's value over it. Empties `values`.
    Context take_context(const Dag& dag, const Context* initial);
};

// Runs `dag`: sequentially, every node in execution order against the values as the nodes before
// it left them; in parallel, level by level, where the nodes of a level all read the values as
// they stood when the level began and their results are merged, in the order the workers
// appended them, when the whole level has finished. Throws ExecutionError, an
// ExecutionInterrupt, or std::bad_alloc when memory runs out (on a worker too).
RunResult run(const Dag& dag, const RunOptions& options);

} // namespace vantorix
