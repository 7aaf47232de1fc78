#include "dag/dag.hpp"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <cxxabi.h>
#include <exception>
#include <mutex>
#include <new>
#include <string>

namespace vantorix {

namespace {

// Workers run arbitrary node functions, including Python code whose recursion goes through the C
// stack (3.9 and 3.10 use C frames for every Python call; 3.12+ sizes its C recursion limit for
// the main thread). 8 MiB matches a Linux main thread and Python's own threads, so code that
// works in a plain script also works on a worker. Only touched pages are committed.
constexpr std::size_t kWorkerStackSize = 8 * 1024 * 1024;

struct NodeResult {
    NodeId id;
    std::optional<BranchId> branch_id;
    Context outputs;
};

// Writes one node's outputs into the run's result. Without bookkeeping only the context is kept,
// and the outputs are moved rather than copied.
class Recorder {
public:
    Recorder(ExecutionResult& result, bool bookkeeping)
        : result_(result), bookkeeping_(bookkeeping) {}

    void record(NodeId id, const std::optional<BranchId>& branch_id, Context outputs) {
        if (!bookkeeping_) {
            result_.context.merge(std::move(outputs));
            return;
        }
        result_.context.merge(outputs);
        if (branch_id) {
            result_.branch_outputs[*branch_id].merge(outputs);
        }
        // The node's own entry takes the outputs themselves: one copy fewer for most nodes.
        result_.node_outputs.insert_or_assign(id, std::move(outputs));
    }

private:
    ExecutionResult& result_;
    bool bookkeeping_;
};

// Blocks until `word` no longer holds `expected` or a wake-up comes; also returns when a signal
// handler has run on this thread, after `timeout` (null: none) and spuriously. Returns false for
// a signal or the timeout. A futex, unlike a condition variable, reports the signal.
bool futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected,
                const timespec* timeout) noexcept {
    const long status = syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word),
                                FUTEX_WAIT_PRIVATE, expected, timeout, nullptr, 0);
    return status == 0 || errno == EAGAIN;
}

void futex_wake_all(std::atomic<std::uint32_t>& word) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT32_MAX,
            nullptr, nullptr, 0);
}

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

// One multi-node level: workers read the shared snapshot and append to the result list.
struct LevelRun {
    const Context& snapshot;
    std::mutex results_mutex;
    std::vector<NodeResult> results;
    // A traced run's node traces, appended with the results (same mutex, same order).
    bool tracing = false;
    std::vector<NodeTrace> traces;

    // Per batch: how many workers have not finished yet (the word the calling thread waits on),
    // and how they ended.
    std::atomic<std::uint32_t> running{0};
    std::mutex batch_mutex;
    bool panicked = false;
    std::exception_ptr interrupt;

    explicit LevelRun(const Context& level_snapshot) : snapshot(level_snapshot) {}

    void finish_worker(std::exception_ptr interrupted, bool failed) {
        if (failed || interrupted) {
            std::lock_guard lock(batch_mutex);
            panicked = panicked || failed;
            if (interrupted && !interrupt) {
                interrupt = std::move(interrupted);
            }
        }
        if (running.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            futex_wake_all(running);
        }
    }

    void hold_interrupt(std::exception_ptr interrupted) {
        std::lock_guard lock(batch_mutex);
        if (!interrupt) {
            interrupt = std::move(interrupted);
        }
    }
};

struct WorkerTask {
    LevelRun* level;
    const Node* node;
};

// The functions that catch abi::__forced_unwind are not checked for null references: the
// unwinding of a cancelled thread carries no object for the catch to bind to.
[[gnu::no_sanitize("null")]] void* run_worker(void* argument) {
    const WorkerTask task = *static_cast<WorkerTask*>(argument);
    // Whatever way the worker ends, the calling thread must learn that it has finished.
    struct FinishGuard {
        LevelRun* level;
        std::exception_ptr interrupted;
        bool failed = true;
        ~FinishGuard() { level->finish_worker(std::move(interrupted), failed); }
    } guard{task.level, nullptr};
    try {
        Context outputs;
        NodeTrace trace;
        if (task.level->tracing) {
            trace.node = task.node;
            detail::run_traced(trace, [&] { outputs = task.node->execute(task.level->snapshot); });
        } else {
            outputs = task.node->execute(task.level->snapshot);
        }
        {
            std::lock_guard lock(task.level->results_mutex);
            task.level->results.push_back(
                NodeResult{task.node->id, task.node->branch_id, std::move(outputs)});
            if (task.level->tracing) {
                task.level->traces.push_back(std::move(trace));
            }
        }
        guard.failed = false;
    } catch (abi::__forced_unwind&) {
        throw; // thread cancellation must unwind, never be swallowed
    } catch (const ExecutionInterrupt&) {
        guard.interrupted = std::current_exception();
        guard.failed = false;
    } catch (const std::bad_alloc&) {
        // Out of memory is no failure of the worker: it reaches the caller as itself, once the
        // batch has finished, like an interrupt.
        guard.interrupted = std::current_exception();
        guard.failed = false;
    } catch (...) {
        guard.failed = true;
    }
    return nullptr;
}

// Waits until every worker of the batch has finished, calling the wait hook as ExecutionHooks
// says. Whatever the hook throws is held for the end of the batch.
[[gnu::no_sanitize("null")]] void wait_for_batch(LevelRun& level, const ExecutionHooks& hooks) {
    const auto tick = std::chrono::duration_cast<std::chrono::nanoseconds>(hooks.wait_tick);
    const timespec timeout{static_cast<time_t>(tick.count() / 1'000'000'000),
                           static_cast<long>(tick.count() % 1'000'000'000)};
    for (;;) {
        const std::uint32_t running = level.running.load(std::memory_order_acquire);
        if (running == 0) {
            return;
        }
        if (!hooks.on_wait) {
            futex_wait(level.running, running, nullptr);
            continue;
        }
        if (futex_wait(level.running, running, &timeout) ||
            level.running.load(std::memory_order_acquire) == 0) {
            continue;
        }
        try {
            hooks.on_wait();
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            level.hold_interrupt(std::current_exception());
        }
    }
}

void join_all(const std::vector<pthread_t>& threads) {
    for (pthread_t thread : threads) {
        pthread_join(thread, nullptr);
    }
}

// Starts one worker per node of `batch`, waits for all of them and reports how they ended.
[[gnu::no_sanitize("null")]] void run_batch(LevelRun& level, std::span<const Node* const> batch,
                                            const ExecutionHooks& hooks) {
    std::vector<WorkerTask> tasks;
    tasks.reserve(batch.size());
    for (const Node* node : batch) {
        tasks.push_back(WorkerTask{&level, node});
    }
    std::vector<pthread_t> threads;
    threads.reserve(batch.size());

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kWorkerStackSize);
    int spawn_error = 0;
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        level.running.fetch_add(1, std::memory_order_relaxed);
        pthread_t thread;
        spawn_error = hooks.spawn_fault ? hooks.spawn_fault(i) : 0;
        if (spawn_error == 0) {
            spawn_error = pthread_create(&thread, &attributes, run_worker, &tasks[i]);
        }
        if (spawn_error != 0) {
            level.running.fetch_sub(1, std::memory_order_relaxed);
            break;
        }
        threads.push_back(thread);
    }
    pthread_attr_destroy(&attributes);

    try {
        wait_for_batch(level, hooks);
    } catch (abi::__forced_unwind&) {
        // The calling thread is being ended inside the hook, but the workers use `level` and
        // `tasks`, which live in this frame: they finish first.
        wait_for_batch(level, ExecutionHooks());
        join_all(threads);
        throw;
    }
    join_all(threads);

    if (spawn_error != 0) {
        throw ExecutionError(std::string("failed to spawn thread: ") + std::strerror(spawn_error) +
                             " (os error " + std::to_string(spawn_error) + ")");
    }
    if (level.panicked) {
        throw ExecutionError("a scoped thread panicked");
    }
    if (level.interrupt) {
        std::rethrow_exception(level.interrupt);
    }
    // One more call once the batch has finished: an interrupt that arrived after the last tick,
    // or during a batch shorter than a tick, still stops the run before anything else starts.
    if (hooks.on_wait) {
        hooks.on_wait();
    }
}

// Gives the traces of the batch that has just finished to the host, in append order.
void hand_over_traces(LevelRun& level, const ExecutionHooks& hooks) {
    std::vector<NodeTrace> finished;
    {
        std::lock_guard lock(level.results_mutex);
        finished.swap(level.traces);
    }
    for (NodeTrace& trace : finished) {
        hooks.on_node_traced(std::move(trace));
    }
}

} // namespace

void Dag::run(bool parallel, std::optional<std::size_t> max_threads, const ExecutionHooks& hooks,
              ExecutionResult& result, bool bookkeeping) const {
    const detail::TraceIsolation isolation;
    Recorder recorder(result, bookkeeping);
    auto run_on_caller = [&](NodeId id) {
        const Node* node = find_node(id);
        if (node == nullptr) {
            return;
        }
        if (hooks.on_node_traced) {
            NodeTrace trace;
            trace.node = node;
            Context outputs;
            detail::run_traced(trace, [&] { outputs = node->execute(result.context); });
            recorder.record(node->id, node->branch_id, std::move(outputs));
            hooks.on_node_traced(std::move(trace));
        } else if (bookkeeping) {
            recorder.record(node->id, node->branch_id, node->execute(result.context));
        } else {
            // Only the context is kept: outputs go straight into it, as merging them would.
            node->execute_into(result.context, result.context);
        }
    };

    if (!parallel) {
        for (const NodeId id : execution_order_) {
            run_on_caller(id);
        }
        return;
    }

    std::vector<const Node*> level_nodes;
    for (std::size_t level_index = 0; level_index < levels_.size(); ++level_index) {
        const std::span<const NodeId> level = levels_[level_index];
        if (level.size() == 1) {
            run_on_caller(level.front());
            continue;
        }
        level_nodes.clear();
        for (const NodeId id : level) {
            if (const Node* node = find_node(id)) {
                level_nodes.push_back(node);
            }
        }
        // The level's snapshot is the context itself: nothing writes it until every batch of the
        // level has finished, so the workers see it as it stood when the level started. (A copy
        // per level made graphs of many multi-node levels quadratic in their variables.)
        LevelRun run(result.context);
        run.results.reserve(level_nodes.size());
        run.tracing = static_cast<bool>(hooks.on_node_traced);
        const std::size_t batch_size =
            max_threads ? std::max<std::size_t>(*max_threads, 1) : level_nodes.size();
        for (std::size_t start = 0; start < level_nodes.size(); start += batch_size) {
            const std::size_t size = std::min(batch_size, level_nodes.size() - start);
            run_batch(run, std::span<const Node* const>(level_nodes.data() + start, size), hooks);
            if (run.tracing) {
                hand_over_traces(run, hooks);
            }
        }
        std::lock_guard lock(run.results_mutex);
        for (NodeResult& node_result : run.results) {
            recorder.record(node_result.id, node_result.branch_id, std::move(node_result.outputs));
        }
    }
}

ExecutionResult Dag::execute_detailed(bool parallel, std::optional<std::size_t> max_threads,
                                      const ExecutionHooks& hooks) const {
    ExecutionResult result;
    run(parallel, max_threads, hooks, result, true);
    return result;
}

ExecutionResult Dag::execute_detailed(Context initial, bool parallel,
                                      std::optional<std::size_t> max_threads,
                                      const ExecutionHooks& hooks) const {
    ExecutionResult result;
    result.context = std::move(initial);
    run(parallel, max_threads, hooks, result, true);
    return result;
}

Context Dag::execute(bool parallel, std::optional<std::size_t> max_threads,
                     const ExecutionHooks& hooks) const {
    ExecutionResult result;
    run(parallel, max_threads, hooks, result, false);
    return std::move(result.context);
}

} // namespace vantorix
