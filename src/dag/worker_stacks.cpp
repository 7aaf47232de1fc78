#include "dag/worker_stacks.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>

namespace vantorix {

namespace {

// As many stacks as the widest batches commonly use; more are unmapped when they come back.
constexpr std::size_t kPooledStacks = 64;
// A stack that was used deeper than this gives its deeper pages back before it is pooled, so the
// pool keeps at most this much of each stack resident after a deep recursion.
constexpr std::size_t kKeptDepth = 512 * 1024;
constexpr unsigned char kUntouched = 0xA5;

// Read when the library loads, before any thread of the engine exists.
const std::size_t g_page_size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));

std::size_t page_size() noexcept { return g_page_size; }

// The page just below the kept depth: filled with a pattern while the stack is in the pool; a
// thread that reached deeper has most likely written into it.
unsigned char* marker_page(const WorkerStack& stack) noexcept {
    return static_cast<unsigned char*>(stack.base) + stack.size - kKeptDepth - page_size();
}

bool marker_intact(const WorkerStack& stack) noexcept {
    const unsigned char* page = marker_page(stack);
    return std::all_of(page, page + page_size(), [](unsigned char c) { return c == kUntouched; });
}

void set_marker(const WorkerStack& stack) noexcept {
    std::memset(marker_page(stack), kUntouched, page_size());
}

// Constant-initialised and trivially destroyed: it exists before any thread, and worker threads
// of runs on daemon threads may still return stacks while the process exits.
struct Pool {
    std::mutex mutex;
    WorkerStack stacks[kPooledStacks];
    std::size_t count = 0;
};
constinit Pool g_pool;

// A forked child has only the thread that forked. Any other thread of the parent may have held
// the pool's lock at that moment, or been halfway through changing the pool: the child starts
// from an empty pool with a new lock, and the parent's pooled stacks stay mapped, unused.
[[maybe_unused]] const int g_fork_handler = pthread_atfork(nullptr, nullptr, [] {
    new (&g_pool.mutex) std::mutex;
    g_pool.count = 0;
});

WorkerStack map_stack() noexcept {
    const std::size_t guard = page_size();
    void* mapping = mmap(nullptr, kWorkerStackSize + guard, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED) {
        return {};
    }
    if (mprotect(mapping, guard, PROT_NONE) != 0) {
        munmap(mapping, kWorkerStackSize + guard);
        return {};
    }
    const WorkerStack stack{static_cast<char*>(mapping) + guard, kWorkerStackSize};
    set_marker(stack);
    return stack;
}

void unmap_stack(const WorkerStack& stack) noexcept {
    const std::size_t guard = page_size();
    munmap(static_cast<char*>(stack.base) - guard, stack.size + guard);
}

} // namespace

WorkerStack acquire_worker_stack() noexcept {
    {
        std::lock_guard lock(g_pool.mutex);
        if (g_pool.count > 0) {
            return g_pool.stacks[--g_pool.count];
        }
    }
    return map_stack();
}

void release_worker_stack(WorkerStack stack) noexcept {
    if (!stack) {
        return;
    }
    if (!marker_intact(stack)) {
        // Everything below the kept depth, the marker page included, goes back to the system.
        const std::size_t trimmed = stack.size - kKeptDepth;
        madvise(stack.base, trimmed, MADV_DONTNEED);
        set_marker(stack);
    }
    {
        std::lock_guard lock(g_pool.mutex);
        if (g_pool.count < kPooledStacks) {
            g_pool.stacks[g_pool.count++] = stack;
            return;
        }
    }
    unmap_stack(stack);
}

namespace detail {

std::mutex& worker_stack_pool_mutex() noexcept { return g_pool.mutex; }

} // namespace detail

} // namespace vantorix
