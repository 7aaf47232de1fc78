// Variable names resolved to numbered slots once, when the DAG is built, so that a run keeps its
// context in an array instead of a map of owned names.
#include "dag/dag.hpp"

#include <sys/mman.h>

#include <bit>
#include <new>

namespace vantorix {

namespace {

// Memory for the table below. Large blocks are mapped and unmapped directly, so that once the
// plan is built they go back to the system instead of staying in the heap as free space (where
// they would count against every DAG's footprint).
template <class T> struct ScratchAllocator {
    using value_type = T;
    static constexpr std::size_t kMappedFrom = 256 * 1024;

    ScratchAllocator() = default;
    template <class U> ScratchAllocator(const ScratchAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        const std::size_t bytes = count * sizeof(T);
        if (bytes < kMappedFrom) {
            return static_cast<T*>(::operator new(bytes));
        }
        void* block =
            mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(block);
    }
    void deallocate(T* block, std::size_t count) noexcept {
        const std::size_t bytes = count * sizeof(T);
        if (bytes < kMappedFrom) {
            ::operator delete(block);
        } else {
            munmap(block, bytes);
        }
    }
    template <class U> bool operator==(const ScratchAllocator<U>&) const noexcept { return true; }
};

template <class T> using ScratchVector = std::vector<T, ScratchAllocator<T>>;

// Names to slots, open addressing over the hashes the mappings already store. Lives only while
// the plan is built.
class SlotTable {
public:
    // Sized once for `expected` names at most, so that building a large plan makes three
    // allocations instead of a series of growing ones.
    explicit SlotTable(std::size_t expected)
        : cells_(std::bit_ceil(std::max<std::size_t>(16, expected * 2)), kEmpty) {
        names_.reserve(expected);
        hashes_.reserve(expected);
    }

    // The slot of `name`, made now if `create` and the name has none yet; else kEmpty.
    std::uint32_t find(std::string_view name, std::uint32_t hash, bool create) {
        const std::size_t mask = cells_.size() - 1;
        for (std::size_t cell = hash & mask;; cell = (cell + 1) & mask) {
            const std::uint32_t slot = cells_[cell];
            if (slot == kEmpty) {
                if (!create) {
                    return kEmpty;
                }
                cells_[cell] = static_cast<std::uint32_t>(names_.size());
                names_.push_back(name);
                hashes_.push_back(hash);
                if (names_.size() * 2 > cells_.size()) {
                    grow();
                }
                return static_cast<std::uint32_t>(names_.size() - 1);
            }
            if (hashes_[slot] == hash && names_[slot] == name) {
                return slot;
            }
        }
    }

    std::uint32_t size() const noexcept { return static_cast<std::uint32_t>(names_.size()); }

    static constexpr std::uint32_t kEmpty = UINT32_MAX;

private:
    void grow() {
        cells_.assign(cells_.size() * 2, kEmpty);
        const std::size_t mask = cells_.size() - 1;
        for (std::uint32_t slot = 0; slot < names_.size(); ++slot) {
            std::size_t cell = hashes_[slot] & mask;
            while (cells_[cell] != kEmpty) {
                cell = (cell + 1) & mask;
            }
            cells_[cell] = slot;
        }
    }

    ScratchVector<std::uint32_t> cells_;
    ScratchVector<std::string_view> names_;
    ScratchVector<std::uint32_t> hashes_;
};

} // namespace

void Dag::build_plan() {
    std::size_t entries = 0;
    std::size_t outputs = 0;
    for (const NodeId id : execution_order_) {
        if (const Node* node = find_node(id)) {
            entries += node->input_mapping.size() + node->output_mapping.size();
            outputs += node->output_mapping.size();
        }
    }
    plan_.reserve(entries);
    // One pass in execution order. A node only ever reads what nodes before it in that order
    // published (in sequential mode the nodes before it, in parallel mode the earlier levels,
    // which come first in the order), so a name that has no slot yet when a node reads it never
    // holds a value for that node, and a name nobody publishes needs no slot at all.
    SlotTable table(outputs);
    for (const NodeId id : execution_order_) {
        const Node* node = find_node(id);
        if (node == nullptr) {
            continue;
        }
        for (auto entry = node->input_mapping.begin(); entry != node->input_mapping.end();
             ++entry) {
            const std::uint32_t slot = table.find((*entry).first, entry.key_hash(), false);
            plan_.push_back(slot == SlotTable::kEmpty ? kUnpublishedSlot : slot);
        }
        for (auto entry = node->output_mapping.begin(); entry != node->output_mapping.end();
             ++entry) {
            plan_.push_back(table.find((*entry).second, entry.value_hash(), true));
        }
    }
    slot_count_ = table.size();
}

void Dag::for_each_slot(const std::function<void(std::uint32_t, std::string_view)>& visit) const {
    std::vector<bool> seen(slot_count_, false);
    std::size_t entry = 0;
    for (const NodeId id : execution_order_) {
        const Node* node = find_node(id);
        if (node == nullptr) {
            continue;
        }
        entry += node->input_mapping.size();
        for (const auto [impl_var, broadcast_var] : node->output_mapping) {
            const std::uint32_t slot = plan_[entry++];
            if (!seen[slot]) {
                seen[slot] = true;
                visit(slot, broadcast_var);
            }
        }
    }
}

void ExecutionValues::drain(const std::function<void(std::string_view, GraphData&)>& visit) {
    // Every slot that holds a value was written by some node's output entry: walking the outputs
    // of the plan meets each such slot, and emptying it on the first visit keeps it from being
    // met twice.
    std::size_t entry = 0;
    for (const NodeId id : dag_->execution_order_) {
        if (count_ == 0) {
            break;
        }
        const Node* node = dag_->find_node(id);
        if (node == nullptr) {
            continue;
        }
        entry += node->input_mapping.size();
        for (const auto [impl_var, broadcast_var] : node->output_mapping) {
            std::optional<GraphData>& value = values_[dag_->plan_[entry++]];
            if (value) {
                visit(broadcast_var, *value);
                value.reset();
                --count_;
            }
        }
    }
    values_.clear();
    count_ = 0;
}

Context ExecutionValues::to_context() && {
    Context context;
    context.reserve(count_);
    drain([&context](std::string_view name, GraphData& value) {
        context.insert(std::string(name), std::move(value));
    });
    return context;
}

} // namespace vantorix
