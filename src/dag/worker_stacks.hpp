// Stacks for the engine's worker threads, kept between batches and runs. Every node of a batch
// still gets a thread of its own; only the memory under it is reused, so a new worker runs on
// pages that are already mapped instead of faulting in a fresh stack.
#pragma once

#include <cstddef>
#include <mutex>

namespace vantorix {

struct WorkerStack {
    void* base = nullptr; // lowest usable address; a guard page lies below it
    std::size_t size = 0;
    explicit operator bool() const noexcept { return base != nullptr; }
};

// A stack of `kWorkerStackSize` bytes from the pool, or a new one; empty if none can be mapped.
WorkerStack acquire_worker_stack() noexcept;
// Gives a stack back once the thread that ran on it has been joined.
void release_worker_stack(WorkerStack stack) noexcept;

// Workers run arbitrary node functions, which may recurse deeply through the C stack. 8 MiB
// matches the main thread of a Linux process, so code that works there also works on a worker.
// Only touched pages are committed.
inline constexpr std::size_t kWorkerStackSize = 8 * 1024 * 1024;

namespace detail {

// The lock of the pool, for tests that hold it across a fork.
std::mutex& worker_stack_pool_mutex() noexcept;

} // namespace detail

} // namespace vantorix
