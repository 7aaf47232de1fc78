#include "runtime/stack_room.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace vantorix::python {

namespace {

struct StackBounds {
    std::uintptr_t low = 0; // the stack grows down towards it
    std::size_t size = 0;   // 0: not known
};

// The most of a stack this module counts on. With `ulimit -s unlimited` the main thread's stack is
// reported as reaching down to the heap, terabytes below: counting on all of it would let nested
// runs grow the stack until the process dies.
constexpr std::size_t kLargestTrustedStack = 256 * 1024 * 1024;

// Read once per thread: for the main thread glibc parses /proc/self/maps.
const StackBounds& current_stack() noexcept {
    thread_local StackBounds bounds = [] {
        StackBounds read;
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
            return read;
        }
        void* low = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attributes, &low, &size) == 0) {
            // The stack grows down from its top: keep the part next to the top.
            const std::size_t trusted = std::min(size, kLargestTrustedStack);
            read = {reinterpret_cast<std::uintptr_t>(low) + (size - trusted), trusted};
        }
        pthread_attr_destroy(&attributes);
        return read;
    }();
    return bounds;
}

std::size_t stack_reserve(std::size_t stack_size) noexcept {
    constexpr std::size_t kMinimum = 64 * 1024;
    constexpr std::size_t kMaximum = 1024 * 1024;
    return std::clamp(stack_size / 8, kMinimum, kMaximum);
}

} // namespace

bool enough_stack_for_nested_run() noexcept {
    const StackBounds& stack = current_stack();
    if (stack.size == 0) {
        return true;
    }
    // The frame itself, not a local: a sanitizer may keep locals on a heap-allocated stack.
    const auto position = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (position < stack.low || position - stack.low > stack.size) {
        return true; // not on the stack we know of (an alternate signal stack, say)
    }
    return position - stack.low >= stack_reserve(stack.size);
}

} // namespace vantorix::python
