#include "dag/worker_batch.hpp"

#include "dag/current_run.hpp"
#include "dag/worker_stacks.hpp"

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
#include <new>
#include <string>
#include <vector>

namespace vantorix {

namespace {

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
    BatchWork& work;
    const WorkerHooks& hooks;
    // The depth of the run, which its workers run their nodes at.
    std::size_t run_depth;
    // The process the workers were started in: after a fork the child has none of them.
    pid_t process = getpid();

    // Per batch: how many workers have not finished yet (the word the calling thread waits on),
    // and how they ended. The first interrupt to claim the place is the one kept.
    std::atomic<std::uint32_t> running{0};
    // Per batch: how many workers have attached to the host (the word the starting thread waits
    // on).
    std::atomic<std::uint32_t> attached{0};
    std::atomic<bool> panicked{false};
    std::atomic<bool> interrupt_claimed{false};
    std::exception_ptr interrupt;

    LevelRun(BatchWork& level_work, const WorkerHooks& worker_hooks, std::size_t depth)
        : work(level_work), hooks(worker_hooks), run_depth(depth) {}

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
    LevelRun& level = *task.level;
    try {
        if (level.hooks.attach) {
            // Counted however attaching ends: the starting thread waits for every worker.
            struct Attached {
                LevelRun& level;
                ~Attached() {
                    level.attached.fetch_add(1, std::memory_order_release);
                    futex_wake_all(level.attached);
                }
            } attached{level};
            level.hooks.attach();
        }
        struct Detach {
            const WorkerHooks& hooks;
            ~Detach() {
                if (hooks.detach) {
                    hooks.detach();
                }
            }
        } detach{level.hooks};
        level.work.run(task.index);
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

// Waits until every worker of the batch has finished, calling the wait hook as WorkerHooks
// says. Whatever the hook throws is held for the end of the batch. Returns false when the workers
// are gone for good: the hook (a signal handler it ran) forked, and this is the child.
[[gnu::no_sanitize("null")]] bool wait_for_batch(LevelRun& level, const WorkerHooks& hooks) {
    const auto tick = std::chrono::duration_cast<std::chrono::nanoseconds>(hooks.tick);
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

// Starts one worker per task, each on a pooled stack when there is one (kept in `stacks`, to go
// back once the threads are joined), until one cannot start: `spawn_error` then says why.
void start_workers(LevelRun& level, std::vector<WorkerTask>& tasks,
                   std::vector<pthread_t>& threads, std::vector<WorkerStack>& stacks,
                   int& spawn_error) {
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        level.running.fetch_add(1, std::memory_order_relaxed);
        pthread_t thread;
        spawn_error = level.hooks.spawn_fault ? level.hooks.spawn_fault(i) : 0;
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
                stacks.push_back(stack); // reserved: cannot throw
            }
        }
        if (spawn_error != 0) {
            level.running.fetch_sub(1, std::memory_order_relaxed);
            return;
        }
        threads.push_back(thread);
    }
}

// Starts one worker for each of the level's nodes `first` to `first + count - 1`, waits for all
// of them and reports how they ended.
[[gnu::no_sanitize("null")]] void run_batch(LevelRun& level, std::size_t first, std::size_t count,
                                            const WorkerHooks& hooks) {
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
    auto start = [&] {
        start_workers(level, tasks, threads, stacks.held, spawn_error);
        if (!hooks.attach) {
            return;
        }
        const auto started = static_cast<std::uint32_t>(threads.size());
        const timespec tick{0, 1'000'000};
        for (std::uint32_t seen;
             (seen = level.attached.load(std::memory_order_acquire)) < started;) {
            if (!hooks.while_attaching) {
                futex_wait(level.attached, seen, nullptr);
            } else if (!futex_wait(level.attached, seen, &tick)) {
                hooks.while_attaching();
            }
        }
    };
    level.attached.store(0, std::memory_order_relaxed);
    if (hooks.around_start) {
        hooks.around_start(count, start);
    } else {
        start();
    }

    bool workers_here = true;
    try {
        workers_here = wait_for_batch(level, hooks);
    } catch (abi::__forced_unwind&) {
        // The calling thread is being ended inside the hook, but the workers use `level` and
        // `tasks`, which live in this frame: they finish first.
        wait_for_batch(level, WorkerHooks());
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

} // namespace

void run_in_batches(BatchWork& work, std::size_t count, std::size_t batch_size,
                    std::size_t run_depth, const WorkerHooks& hooks,
                    const std::function<void()>& after_batch) {
    LevelRun run(work, hooks, run_depth);
    for (std::size_t start = 0; start < count; start += batch_size) {
        run_batch(run, start, std::min(batch_size, count - start), hooks);
        after_batch();
    }
}

} // namespace vantorix
