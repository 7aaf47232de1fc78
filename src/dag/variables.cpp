#include "dag/variables.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <new>

namespace vantorix {

namespace {

// Memory for the table below. Large blocks are mapped and unmapped directly, so that once the
// variables are numbered they go back to the system instead of staying in the heap as free space
// (where they would count against every DAG's footprint).
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

// Names to variables, open addressing over the hashes the mappings already store. Lives only while
// the plan is built.
class NameTable {
public:
    // Sized once for `expected` names at most, so that building a large plan makes three
    // allocations instead of a series of growing ones.
    explicit NameTable(std::size_t expected)
        : cells_(std::bit_ceil(std::max<std::size_t>(16, expected * 2)), kEmpty) {
        names_.reserve(expected);
        hashes_.reserve(expected);
    }

    // The variable of `name`, made now if `create` and the name has none yet; else kEmpty.
    std::uint32_t find(std::string_view name, std::uint32_t hash, bool create) {
        const std::size_t mask = cells_.size() - 1;
        for (std::size_t cell = hash & mask;; cell = (cell + 1) & mask) {
            const std::uint32_t variable = cells_[cell];
            if (variable == kEmpty) {
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
            if (hashes_[variable] == hash && names_[variable] == name) {
                return variable;
            }
        }
    }

    std::uint32_t size() const noexcept { return static_cast<std::uint32_t>(names_.size()); }

    static constexpr std::uint32_t kEmpty = Variables::kUnpublished;

private:
    void grow() {
        cells_.assign(cells_.size() * 2, kEmpty);
        const std::size_t mask = cells_.size() - 1;
        for (std::uint32_t variable = 0; variable < names_.size(); ++variable) {
            std::size_t cell = hashes_[variable] & mask;
            while (cells_[cell] != kEmpty) {
                cell = (cell + 1) & mask;
            }
            cells_[cell] = variable;
        }
    }

    ScratchVector<std::uint32_t> cells_;
    ScratchVector<std::string_view> names_;
    ScratchVector<std::uint32_t> hashes_;
};

} // namespace

// Outputs first, in execution order, so that variables are numbered in the order a sequential
// run first publishes them; then every input takes the number of its name, or none when no
// scheduled node publishes it.
Variables::Variables(const std::vector<Node>& nodes, std::span<const NodePosition> scheduled)
    : offsets_(nodes.size() + 1, 0) {
    std::size_t outputs = 0;
    for (const NodePosition position : scheduled) {
        const Node& node = nodes[position];
        offsets_[position + 1] =
            static_cast<std::uint32_t>(node.input_mapping.size() + node.output_mapping.size());
        outputs += node.output_mapping.size();
    }
    for (std::size_t position = 0; position < nodes.size(); ++position) {
        offsets_[position + 1] += offsets_[position];
    }
    entries_.resize(offsets_.back());
    NameTable table(outputs);
    for (const NodePosition position : scheduled) {
        const Node& node = nodes[position];
        VariableId* entry = entries_.data() + offsets_[position] + node.input_mapping.size();
        for (auto output = node.output_mapping.begin(); output != node.output_mapping.end();
             ++output) {
            *entry++ = table.find((*output).second, output.value_hash(), true);
        }
    }
    for (const NodePosition position : scheduled) {
        const Node& node = nodes[position];
        VariableId* entry = entries_.data() + offsets_[position];
        for (auto input = node.input_mapping.begin(); input != node.input_mapping.end(); ++input) {
            *entry++ = table.find((*input).first, input.key_hash(), false);
        }
    }
    count_ = table.size();
}

void Variables::for_each(const std::vector<Node>& nodes,
                         const std::function<void(VariableId, std::string_view)>& visit) const {
    std::vector<bool> seen(count_, false);
    for (std::size_t position = 0; position < nodes.size(); ++position) {
        const Node& node = nodes[position];
        const std::span<const VariableId> variables =
            outputs(static_cast<NodePosition>(position), node);
        std::size_t index = 0;
        for (auto output = node.output_mapping.begin(); index < variables.size(); ++output) {
            const VariableId variable = variables[index++];
            if (!seen[variable]) {
                seen[variable] = true;
                visit(variable, (*output).second);
            }
        }
    }
}

} // namespace vantorix
