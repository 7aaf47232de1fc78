#include "runtime/holder_blocks.hpp"

#include <new>
#include <utility>

namespace vantorix::python {

namespace {

// Enough for the values of a long run on the calling thread (the pool costs at most this many
// blocks per thread); blocks freed beyond it go back to the allocator.
constexpr std::size_t kKeptBlocks = 16384;

struct FreeBlock {
    FreeBlock* next;
};
static_assert(sizeof(FreeBlock) <= kHolderBlockSize);

// A thread's free blocks. Plain data, so that reaching it costs no initialisation check; the
// blocks go back to the allocator when the thread ends, through `BlocksOwner`.
struct ThreadBlocks {
    FreeBlock* head;
    std::size_t count;
};

thread_local ThreadBlocks t_blocks{nullptr, 0};

struct BlocksOwner {
    ~BlocksOwner() {
        while (t_blocks.head != nullptr) {
            ::operator delete(std::exchange(t_blocks.head, t_blocks.head->next));
        }
        t_blocks.count = 0;
    }
};

// Set up the first time a thread keeps a block.
thread_local BlocksOwner t_blocks_owner;

} // namespace

void* take_holder_block() {
    ThreadBlocks& blocks = t_blocks;
    if (blocks.head == nullptr) {
        return ::operator new(kHolderBlockSize);
    }
    --blocks.count;
    return std::exchange(blocks.head, blocks.head->next);
}

void give_holder_block(void* block) noexcept {
    ThreadBlocks& blocks = t_blocks;
    if (blocks.count == kKeptBlocks) {
        ::operator delete(block);
        return;
    }
    if (blocks.count == 0) {
        (void)&t_blocks_owner; // registers the cleanup at thread exit
    }
    ++blocks.count;
    blocks.head = new (block) FreeBlock{blocks.head};
}

} // namespace vantorix::python
