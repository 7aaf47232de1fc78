#include "dag/dag.hpp"
#include "dag/trace.hpp"
#include "dag/worker_stacks.hpp"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <cxxabi.h>
#include <exception>
#include <memory>
#include <new>
#include <string>

namespace vantorix {

namespace {

struct NodeResult {
    NodeId id;
    std::optional<BranchId> branch_id;
    Context outputs;
};

// Writes one node's outputs into the run's context and bookkeeping.
void record(ExecutionResult& result, NodeId id, const std::optional<BranchId>& branch_id,
            Context outputs) {
    result.context.merge(outputs);
    if (branch_id) {
        result.branch_outputs[*branch_id].merge(outputs);
    }
    // The node's own entry takes the outputs themselves: one copy fewer for most nodes.
    result.node_outputs.insert_or_assign(id, std::move(outputs));
}

// What the workers of one multi-node level do: run the level's node `index` against the state
// as it stood when the level began and keep its outputs for the calling thread. Called
// concurrently for different indexes.
class LevelWork {
public:
    virtual void run_node(std::size_t index) = 0;

protected:
    ~LevelWork() = default;
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

// One multi-node level: how its workers of the current batch end. Workers touch it without a
// lock (a fork can then never copy it in a held state); the calling thread reads what they left
// once `running` has dropped to zero.
struct LevelRun {
    LevelWork& work;
    // The depth of the run, which its workers run their nodes at.
    std::size_t run_depth;
    // The process the workers were started in: after a fork the child has none of them.
    pid_t process = getpid();

    // Per batch: how many workers have not finished yet (the word the calling thread waits on),
    // and how they ended. The first interrupt to claim the place is the one kept.
    std::atomic<std::uint32_t> running{0};
    std::atomic<bool> panicked{false};
    std::atomic<bool> interrupt_claimed{false};
    std::exception_ptr interrupt;

    LevelRun(LevelWork& level_work, std::size_t depth) : work(level_work), run_depth(depth) {}

    void hold_interrupt(std::exception_ptr interrupted) noexcept {
        if (!interrupt_claimed.exchange(true, std::memory_order_acq_rel)) {
            interrupt = std::move(interrupted);
        }
    }

    void finish_worker(std::exception_ptr interrupted, bool failed) noexcept {
        if (failed) {
            panicked.store(true, std::memory_order_relaxed);
        }
        if (interrupted) {
            hold_interrupt(std::move(interrupted));
        }
        if (running.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            futex_wake_all(running);
        }
    }
};

struct WorkerTask {
    LevelRun* level;
    std::size_t index;
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
    const detail::RunDepthScope depth(task.level->run_depth);
    try {
        task.level->work.run_node(task.index);
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
// says. Whatever the hook throws is held for the end of the batch. Returns false when the workers
// are gone for good: the hook (a signal handler it ran) forked, and this is the child.
[[gnu::no_sanitize("null")]] bool wait_for_batch(LevelRun& level, const ExecutionHooks& hooks) {
    const auto tick = std::chrono::duration_cast<std::chrono::nanoseconds>(hooks.wait_tick);
    const timespec timeout{static_cast<time_t>(tick.count() / 1'000'000'000),
                           static_cast<long>(tick.count() % 1'000'000'000)};
    for (;;) {
        const std::uint32_t running = level.running.load(std::memory_order_acquire);
        if (running == 0) {
            return true;
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
        if (getpid() != level.process) {
            return false;
        }
    }
}

void join_all(const std::vector<pthread_t>& threads) {
    for (pthread_t thread : threads) {
        pthread_join(thread, nullptr);
    }
}

// Starts one worker for each of the level's nodes `first` to `first + count - 1`, waits for all
// of them and reports how they ended.
[[gnu::no_sanitize("null")]] void run_batch(LevelRun& level, std::size_t first, std::size_t count,
                                            const ExecutionHooks& hooks) {
    std::vector<WorkerTask> tasks;
    tasks.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        tasks.push_back(WorkerTask{&level, first + i});
    }
    std::vector<pthread_t> threads;
    threads.reserve(count);
    // Stacks come from the pool and go back once every thread of the batch has been joined.
    struct Stacks {
        std::vector<WorkerStack> held;
        bool joined = true;
        ~Stacks() {
            for (const WorkerStack& stack : held) {
                if (joined) {
                    release_worker_stack(stack);
                }
            }
        }
    } stacks;
    stacks.held.reserve(count);

    int spawn_error = 0;
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        level.running.fetch_add(1, std::memory_order_relaxed);
        pthread_t thread;
        spawn_error = hooks.spawn_fault ? hooks.spawn_fault(i) : 0;
        if (spawn_error == 0) {
            pthread_attr_t attributes;
            pthread_attr_init(&attributes);
            // Without a pooled stack the thread facility maps one of the same size.
            const WorkerStack stack = acquire_worker_stack();
            if (stack) {
                pthread_attr_setstack(&attributes, stack.base, stack.size);
            } else {
                pthread_attr_setstacksize(&attributes, kWorkerStackSize);
            }
            spawn_error = pthread_create(&thread, &attributes, run_worker, &tasks[i]);
            pthread_attr_destroy(&attributes);
            if (stack) {
                stacks.held.push_back(stack); // reserved: cannot throw
            }
        }
        if (spawn_error != 0) {
            level.running.fetch_sub(1, std::memory_order_relaxed);
            break;
        }
        threads.push_back(thread);
    }

    bool workers_here = true;
    try {
        workers_here = wait_for_batch(level, hooks);
    } catch (abi::__forced_unwind&) {
        // The calling thread is being ended inside the hook, but the workers use `level` and
        // `tasks`, which live in this frame: they finish first.
        wait_for_batch(level, ExecutionHooks());
        join_all(threads);
        throw;
    }
    if (!workers_here) {
        // A forked child: the workers, and the threads to join, exist only in the parent; their
        // stacks stay with them.
        stacks.joined = false;
        throw ExecutionError("a scoped thread panicked: the process forked while a level's "
                             "worker threads ran");
    }
    join_all(threads);

    if (spawn_error != 0) {
        throw ExecutionError(std::string("failed to spawn thread: ") + std::strerror(spawn_error) +
                             " (os error " + std::to_string(spawn_error) + ")");
    }
    if (level.panicked.load(std::memory_order_relaxed)) {
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

// Runs the `count` nodes of one level in batches of at most `max_threads` workers (all at once
// when absent; 0 counts as 1).
template <class AfterBatch>
void run_level(LevelWork& work, std::size_t count, std::optional<std::size_t> max_threads,
               const ExecutionHooks& hooks, AfterBatch&& after_batch) {
    LevelRun run(work, detail::current_run_depth());
    const std::size_t batch_size = max_threads ? std::max<std::size_t>(*max_threads, 1) : count;
    for (std::size_t start = 0; start < count; start += batch_size) {
        run_batch(run, start, std::min(batch_size, count - start), hooks);
        after_batch();
    }
}

// `size` default-constructed elements on the stack, or on the heap when there are more than N.
// Only the elements in use are constructed: a node's arrays are made for every node of a run.
template <class T, std::size_t N> class SmallArray {
public:
    explicit SmallArray(std::size_t size) : size_(size) {
        if (size > N) {
            heap_ = std::make_unique<T[]>(size);
            data_ = heap_.get();
        } else {
            data_ = std::launder(reinterpret_cast<T*>(local_));
            std::uninitialized_default_construct_n(data_, size);
        }
    }
    ~SmallArray() {
        if (!heap_) {
            std::destroy_n(data_, size_);
        }
    }
    SmallArray(const SmallArray&) = delete;
    SmallArray& operator=(const SmallArray&) = delete;

    T& operator[](std::size_t i) noexcept { return data_[i]; }
    std::span<T> first(std::size_t count) noexcept { return {data_, count}; }

private:
    alignas(T) unsigned char local_[N * sizeof(T)];
    std::unique_ptr<T[]> heap_;
    T* data_;
    std::size_t size_;
};

// One node against the numbered state: gathers the values its inputs name, calls its function and
// hands `publish(slot, value)` each output its mapping publishes, in mapping order. `entries` are
// the node's slots in the plan. Reads `state` only, and a variable without a slot from `initial`,
// the context the run started from (null when it started empty): no node before this one
// published it.
template <class Publish>
void run_planned_node(const Node& node, const std::uint32_t* entries,
                      const std::vector<std::optional<GraphData>>& state, const Context* initial,
                      Publish&& publish) {
    SmallArray<InputRef, 4> inputs(node.input_mapping.size());
    std::size_t found = 0;
    for (auto entry = node.input_mapping.begin(); entry != node.input_mapping.end(); ++entry) {
        const std::uint32_t slot = *entries++;
        const GraphData* value = nullptr;
        if (slot != Dag::kUnpublishedSlot) {
            value = state[slot] ? &*state[slot] : nullptr;
        } else if (initial != nullptr) {
            value = initial->find((*entry).first, entry.key_hash());
        }
        if (value != nullptr) {
            inputs[found++] = InputRef{(*entry).second, value};
        }
    }
    const std::size_t output_count = node.output_mapping.size();
    SmallArray<std::string_view, 4> names(output_count);
    std::size_t i = 0;
    for (const auto [impl_var, broadcast_var] : node.output_mapping) {
        names[i++] = impl_var;
    }
    SmallArray<std::optional<GraphData>, 4> values(output_count);
    PublishedOutputs outputs(names.first(output_count), values.first(output_count));
    node.function->call_published(inputs.first(found), node.variant_params, outputs);
    for (i = 0; i < output_count; ++i) {
        if (values[i]) {
            publish(entries[i], std::move(*values[i]));
        }
    }
}

// The schedule of a run: every node on the calling thread in `order`, or level by level, where a
// level of one node runs on the calling thread and a wider one is handed to `run_wide`.
template <class RunOnCaller, class RunWide>
void walk_schedule(bool parallel, const std::vector<NodeId>& order, const Levels& levels,
                   RunOnCaller&& run_on_caller, RunWide&& run_wide) {
    if (!parallel) {
        for (const NodeId id : order) {
            run_on_caller(id);
        }
        return;
    }
    for (std::size_t level_index = 0; level_index < levels.size(); ++level_index) {
        const std::span<const NodeId> level = levels[level_index];
        if (level.size() == 1) {
            run_on_caller(level.front());
        } else {
            run_wide(level);
        }
    }
}

// A level whose workers each leave a `Result`, and in a traced run a trace beside it, in the
// order they finish: each worker takes the next place with one atomic step, no lock.
template <class Result> class CollectingLevel : public LevelWork {
public:
    // Sized for every node of the level; the first `size()` places are taken. Read by the
    // calling thread between batches only, when no worker is running.
    std::vector<Result> results;
    std::size_t size() const noexcept { return next_.load(std::memory_order_relaxed); }

    // The traces of the batch that has just finished, in append order: the k-th is that of
    // results[first + k], `first` counting the traces taken before.
    std::span<NodeTrace> take_traces(std::size_t& first) noexcept {
        first = taken_;
        const std::size_t end = size();
        taken_ = end;
        return {traces_.data() + first, end - first};
    }

protected:
    CollectingLevel(std::size_t count, bool tracing)
        : results(count), traces_(tracing ? count : 0), tracing_(tracing) {}
    ~CollectingLevel() = default;

    // Runs `step`, node `node` on this worker, timing it in a traced run, and appends the
    // result it returns.
    template <class Step> void collect(const Node& node, Step&& step) {
        Result result;
        NodeTrace trace;
        if (tracing_) {
            trace.node = &node;
            detail::run_traced(trace, [&] { result = step(); });
        } else {
            result = step();
        }
        const std::size_t place = next_.fetch_add(1, std::memory_order_relaxed);
        results[place] = std::move(result);
        if (tracing_) {
            traces_[place] = std::move(trace);
        }
    }

private:
    std::vector<NodeTrace> traces_;
    const bool tracing_;
    std::atomic<std::size_t> next_{0};
    std::size_t taken_ = 0;
};

} // namespace

void Dag::run(bool parallel, std::optional<std::size_t> max_threads, const ExecutionHooks& hooks,
              ExecutionResult& result, PublishedRecord* published) const {
    const detail::TraceIsolation isolation;
    const detail::RunDepthScope depth(detail::current_run_depth() + 1);
    const bool tracing = static_cast<bool>(hooks.on_node_traced);
    // Every name a scheduled node publishes has a slot.
    std::unordered_map<std::string_view, std::uint32_t> slot_of;
    if (tracing && published != nullptr) {
        for_each_slot([&](std::uint32_t slot, std::string_view name) { slot_of[name] = slot; });
    }
    auto hand_over = [&](NodeTrace&& trace, const Context& outputs) {
        if (tracing && published != nullptr) {
            for (const auto& [name, value] : outputs) {
                published->values.push_back({slot_of.at(name), value});
            }
            published->ends.push_back(published->values.size());
        }
        hooks.on_node_traced(std::move(trace));
    };
    auto run_on_caller = [&](NodeId id) {
        const Node* node = find_node(id);
        if (node == nullptr) {
            return;
        }
        if (!tracing) {
            record(result, node->id, node->branch_id, node->execute(result.context));
            return;
        }
        NodeTrace trace;
        trace.node = node;
        Context outputs;
        detail::run_traced(trace, [&] { outputs = node->execute(result.context); });
        hand_over(std::move(trace), outputs);
        record(result, node->id, node->branch_id, std::move(outputs));
    };
    // Workers read the context itself: nothing writes it until every batch of the level has
    // finished, so they see it as it stood when the level started. (A copy per level made graphs
    // of many multi-node levels quadratic in their variables.)
    class ContextLevel final : public CollectingLevel<NodeResult> {
    public:
        ContextLevel(std::vector<const Node*> level_nodes, const Context& context, bool tracing)
            : CollectingLevel(level_nodes.size(), tracing), nodes(std::move(level_nodes)),
              context_(context) {}
        std::vector<const Node*> nodes;

        void run_node(std::size_t index) override {
            const Node& node = *nodes[index];
            collect(node, [&] {
                return NodeResult{node.id, node.branch_id, node.execute(context_)};
            });
        }

    private:
        const Context& context_;
    };

    walk_schedule(parallel, execution_order_, levels_, run_on_caller,
                  [&](std::span<const NodeId> level) {
                      std::vector<const Node*> nodes;
                      for (const NodeId id : level) {
                          if (const Node* node = find_node(id)) {
                              nodes.push_back(node);
                          }
                      }
                      ContextLevel work(std::move(nodes), result.context, tracing);
                      run_level(work, work.nodes.size(), max_threads, hooks, [&] {
                          if (!tracing) {
                              return;
                          }
                          std::size_t first = 0;
                          for (NodeTrace& trace : work.take_traces(first)) {
                              hand_over(std::move(trace), work.results[first++].outputs);
                          }
                      });
                      for (std::size_t i = 0; i < work.size(); ++i) {
                          NodeResult& node_result = work.results[i];
                          record(result, node_result.id, node_result.branch_id,
                                 std::move(node_result.outputs));
                      }
                  });
}

void Dag::run_planned(bool parallel, std::optional<std::size_t> max_threads,
                      const ExecutionHooks& hooks, const Context* initial,
                      PublishedRecord* published, ExecutionValues& values) const {
    const detail::TraceIsolation isolation;
    const detail::RunDepthScope depth(detail::current_run_depth() + 1);
    const bool tracing = static_cast<bool>(hooks.on_node_traced);
    if (!tracing) {
        published = nullptr;
    }
    values.dag_ = this;
    values.values_.resize(slot_count_);
    if (initial != nullptr && initial->empty()) {
        initial = nullptr;
    }
    if (initial != nullptr) {
        for_each_slot([&](std::uint32_t slot, std::string_view name) {
            if (const GraphData* value = initial->find(name)) {
                values.values_[slot] = *value;
                ++values.count_;
            }
        });
    }
    auto store = [&values](std::uint32_t slot, GraphData&& value) {
        std::optional<GraphData>& place = values.values_[slot];
        values.count_ += place ? 0 : 1;
        place = std::move(value);
    };
    // Hands a node's trace to the host once what it published is on record.
    auto hand_over = [&](NodeTrace&& trace) {
        if (published != nullptr) {
            published->ends.push_back(published->values.size());
        }
        hooks.on_node_traced(std::move(trace));
    };
    const std::uint32_t* entries = plan_.data();
    auto run_on_caller = [&](NodeId id) {
        const Node* node = find_node(id);
        if (node == nullptr) {
            return;
        }
        if (!tracing) {
            run_planned_node(*node, entries, values.values_, initial, store);
        } else {
            NodeTrace trace;
            trace.node = node;
            detail::run_traced(trace, [&] {
                run_planned_node(*node, entries, values.values_, initial,
                                 [&](std::uint32_t slot, GraphData&& value) {
                                     if (published != nullptr) {
                                         published->values.push_back({slot, value});
                                     }
                                     store(slot, std::move(value));
                                 });
            });
            hand_over(std::move(trace));
        }
        entries += node->input_mapping.size() + node->output_mapping.size();
    };

    using Published = std::vector<std::pair<std::uint32_t, GraphData>>;
    // As in `run`, workers read the running state itself, which stays untouched until the
    // level has finished.
    class PlannedLevel final : public CollectingLevel<Published> {
    public:
        struct Step {
            const Node* node;
            const std::uint32_t* entries;
        };
        PlannedLevel(std::vector<Step> level_steps,
                     const std::vector<std::optional<GraphData>>& state, const Context* initial,
                     bool tracing)
            : CollectingLevel(level_steps.size(), tracing), steps(std::move(level_steps)),
              state_(state), initial_(initial) {}
        std::vector<Step> steps;

        void run_node(std::size_t index) override {
            const Step step = steps[index];
            collect(*step.node, [&] {
                Published outputs;
                run_planned_node(*step.node, step.entries, state_, initial_,
                                 [&outputs](std::uint32_t slot, GraphData&& value) {
                                     outputs.emplace_back(slot, std::move(value));
                                 });
                return outputs;
            });
        }

    private:
        const std::vector<std::optional<GraphData>>& state_;
        const Context* initial_;
    };

    walk_schedule(parallel, execution_order_, levels_, run_on_caller,
                  [&](std::span<const NodeId> level) {
                      std::vector<PlannedLevel::Step> steps;
                      for (const NodeId id : level) {
                          if (const Node* node = find_node(id)) {
                              steps.push_back({node, entries});
                              entries += node->input_mapping.size() + node->output_mapping.size();
                          }
                      }
                      PlannedLevel work(std::move(steps), values.values_, initial, tracing);
                      run_level(work, work.steps.size(), max_threads, hooks, [&] {
                          if (!tracing) {
                              return;
                          }
                          std::size_t first = 0;
                          for (NodeTrace& trace : work.take_traces(first)) {
                              if (published != nullptr) {
                                  for (const auto& [slot, value] : work.results[first]) {
                                      published->values.push_back({slot, value});
                                  }
                              }
                              ++first;
                              hand_over(std::move(trace));
                          }
                      });
                      for (std::size_t i = 0; i < work.size(); ++i) {
                          for (auto& [slot, value] : work.results[i]) {
                              store(slot, std::move(value));
                          }
                      }
                  });
}

ExecutionResult Dag::execute_detailed(bool parallel, std::optional<std::size_t> max_threads,
                                      const ExecutionHooks& hooks) const {
    ExecutionResult result;
    run(parallel, max_threads, hooks, result);
    return result;
}

ExecutionResult Dag::execute_detailed(Context initial, bool parallel,
                                      std::optional<std::size_t> max_threads,
                                      const ExecutionHooks& hooks) const {
    ExecutionResult result;
    result.context = std::move(initial);
    run(parallel, max_threads, hooks, result);
    return result;
}

ExecutionValues Dag::execute_values(bool parallel, std::optional<std::size_t> max_threads,
                                    const ExecutionHooks& hooks) const {
    return execute_values(Context(), parallel, max_threads, hooks);
}

ExecutionValues Dag::execute_values(const Context& initial, bool parallel,
                                    std::optional<std::size_t> max_threads,
                                    const ExecutionHooks& hooks, PublishedRecord* record) const {
    ExecutionValues values;
    if (!parallel || levels_in_order_) {
        run_planned(parallel, max_threads, hooks, &initial, record, values);
        return values;
    }
    // The plan follows the execution order, which these levels do not (repeated identifiers,
    // see `Levels`): run on contexts and number the result.
    ExecutionResult result;
    result.context = initial;
    run(parallel, max_threads, hooks, result, record);
    values.dag_ = this;
    values.values_.resize(slot_count_);
    for_each_slot([&](std::uint32_t slot, std::string_view name) {
        if (GraphData* value = result.context.find(name)) {
            values.values_[slot] = std::move(*value);
            ++values.count_;
        }
    });
    return values;
}

Context Dag::execute(bool parallel, std::optional<std::size_t> max_threads,
                     const ExecutionHooks& hooks) const {
    return execute_values(parallel, max_threads, hooks).to_context();
}

} // namespace vantorix
