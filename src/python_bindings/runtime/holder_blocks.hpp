// Memory for the shared holders behind engine values that wrap Python objects. A run makes and
// drops one holder per value a node publishes; each thread keeps the blocks it frees for the
// holders it makes next, which saves a trip through the allocator for nearly every value.
#pragma once

#include <cstddef>

namespace vantorix::python {

inline constexpr std::size_t kHolderBlockSize = 16;
inline constexpr std::size_t kHolderBlockAlignment = 8;

// A block of kHolderBlockSize bytes; throws std::bad_alloc like operator new.
void* take_holder_block();
// Gives back a block from take_holder_block, on any thread.
void give_holder_block(void* block) noexcept;

} // namespace vantorix::python
