// Worker threads for the wide levels of a parallel run: one fresh thread per node, in batches,
// on stacks kept from earlier batches, with a wait that can wake for signals.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

namespace vantorix {

// What the workers of one wide level do: run the level's item `index`. Called concurrently for
// different indexes.
class BatchWork {
public:
    virtual void run(std::size_t index) = 0;

protected:
    ~BatchWork() = default;
};

// How workers start and enter the host of the node functions, and how the calling thread waits
// for a batch of them.
struct WorkerHooks {
    // Makes the wait wake up: `on_wait` is called when a signal handler has run on the calling
    // thread (the signal interrupts the wait), when `tick` has passed without either, and once
    // more when the batch has finished. It may throw an `ExecutionInterrupt` to stop the run once
    // the batch has finished; any other exception it throws is likewise held until then and
    // reaches the caller as itself. Without it the wait sleeps until the batch has finished,
    // whatever signals come.
    std::function<void()> on_wait;
    std::chrono::milliseconds tick{20};
    // Test seam: returns an errno value to make starting worker `index` of a batch fail.
    std::function<int(std::size_t index)> spawn_fault;
    // Entering the host: `attach` runs first on every worker thread, and the calling thread runs
    // the starting of a batch of `workers` threads (which returns once every started worker has
    // attached) inside `around_start`, so that the host can keep something, a lock say, held
    // meanwhile, and make ready what that many workers need. `detach` runs last on every worker
    // thread.
    std::function<void(std::size_t workers, const std::function<void()>& start)> around_start;
    std::function<void()> attach;
    std::function<void()> detach;
    // With `attach`: called on the starting thread, inside `around_start`, each millisecond that
    // it waits for workers to attach, so that the host can let through what attaching may wait
    // for (a free-threaded interpreter stopping every thread that holds a thread state).
    std::function<void()> while_attaching;
};

// Runs items 0 to `count` - 1 of `work`, each on a worker thread of its own, in batches of at
// most `batch_size` that run one after another; `after_batch()` runs on the calling thread after
// each. Workers run at run depth `run_depth`. Throws ExecutionError when a worker fails or cannot
// start, or the first interrupt or std::bad_alloc of a worker, once its batch has finished.
void run_in_batches(BatchWork& work, std::size_t count, std::size_t batch_size,
                    std::size_t run_depth, const WorkerHooks& hooks,
                    const std::function<void()>& after_batch);

} // namespace vantorix
