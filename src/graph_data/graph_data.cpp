#include "graph_data/graph_data.hpp"

#include <limits>

namespace vantorix {

namespace {

void missing_retain(void*) noexcept {}
void missing_release(void*) noexcept {}

ObjectHandleOps g_object_handle_ops{missing_retain, missing_release};

// 32 bits are plenty for a table of positions and keep stored hashes small.
std::uint32_t hash_text(std::string_view text) noexcept {
    const std::size_t full = std::hash<std::string_view>{}(text);
    return static_cast<std::uint32_t>(full ^ (full >> 32));
}

constexpr std::uint32_t kEmptyCell = std::numeric_limits<std::uint32_t>::max();

} // namespace

// A plain store: the host installs its operations before any handle exists, and the threads that
// later use handles are started after that, which orders the store before their reads. (A lone
// release fence would add nothing, as no atomic store follows it for readers to acquire.)
void set_object_handle_ops(ObjectHandleOps ops) noexcept { g_object_handle_ops = ops; }

const ObjectHandleOps& object_handle_ops() noexcept { return g_object_handle_ops; }

// Open addressing over positions into `entries_`; the hash of every entry is kept so that growing
// the table never hashes a key twice.
struct Context::Index {
    std::vector<std::uint32_t> cells;
    std::vector<std::uint32_t> hashes; // parallel to entries_

    std::size_t mask() const noexcept { return cells.size() - 1; }

    void place(std::uint32_t position, std::uint32_t hash) noexcept {
        std::size_t cell = hash & mask();
        while (cells[cell] != kEmptyCell) {
            cell = (cell + 1) & mask();
        }
        cells[cell] = position;
    }

    void rebuild(std::size_t capacity) {
        cells.assign(capacity, kEmptyCell);
        for (std::size_t i = 0; i < hashes.size(); ++i) {
            place(static_cast<std::uint32_t>(i), hashes[i]);
        }
    }
};

Context::Context() noexcept = default;
Context::Context(Context&&) noexcept = default;
Context& Context::operator=(Context&&) noexcept = default;
Context::~Context() = default;

Context::Context(const Context& other)
    : entries_(other.entries_),
      index_(other.index_ ? std::make_unique<Index>(*other.index_) : nullptr) {}

Context& Context::operator=(const Context& other) {
    if (this != &other) {
        Context copy(other);
        *this = std::move(copy);
    }
    return *this;
}

std::size_t Context::position_of(std::string_view name, std::uint32_t hash) const {
    if (!index_) {
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (entries_[i].first == name) {
                return i;
            }
        }
        return entries_.size();
    }
    for (std::size_t cell = hash & index_->mask();; cell = (cell + 1) & index_->mask()) {
        const std::uint32_t position = index_->cells[cell];
        if (position == kEmptyCell) {
            return entries_.size();
        }
        if (index_->hashes[position] == hash && entries_[position].first == name) {
            return position;
        }
    }
}

std::uint32_t Context::hash(std::string_view name) noexcept { return hash_text(name); }

const GraphData* Context::find(std::string_view name) const {
    if (entries_.empty()) {
        return nullptr;
    }
    return find(name, index_ ? hash_text(name) : 0);
}

const GraphData* Context::find(std::string_view name, std::uint32_t name_hash) const {
    const std::size_t position = position_of(name, name_hash);
    return position < entries_.size() ? &entries_[position].second : nullptr;
}

void Context::build_index() {
    index_ = std::make_unique<Index>();
    index_->hashes.reserve(entries_.capacity());
    for (const Entry& entry : entries_) {
        index_->hashes.push_back(hash_text(entry.first));
    }
    std::size_t capacity = 16;
    while (capacity < entries_.size() * 2) {
        capacity *= 2;
    }
    index_->rebuild(capacity);
}

void Context::append(std::string name, GraphData value, std::uint32_t hash) {
    entries_.emplace_back(std::move(name), std::move(value));
    if (!index_) {
        if (entries_.size() > kLinearLimit) {
            build_index();
        }
        return;
    }
    index_->hashes.push_back(hash);
    // Keep the load factor at or below one half.
    if (entries_.size() * 2 > index_->cells.size()) {
        index_->rebuild(index_->cells.size() * 2);
    } else {
        index_->place(static_cast<std::uint32_t>(entries_.size() - 1), hash);
    }
}

void Context::insert(std::string name, GraphData value) {
    const std::uint32_t name_hash = index_ ? hash_text(name) : 0;
    insert(std::move(name), std::move(value), name_hash);
}

void Context::insert(std::string name, GraphData value, std::uint32_t name_hash) {
    const std::size_t position = position_of(name, name_hash);
    if (position < entries_.size()) {
        entries_[position].second = std::move(value);
        return;
    }
    append(std::move(name), std::move(value), name_hash);
}

void Context::insert_copy(std::string_view name, const GraphData& value) {
    insert_copy(name, value, index_ ? hash_text(name) : 0);
}

void Context::insert_copy(std::string_view name, const GraphData& value, std::uint32_t name_hash) {
    const std::size_t position = position_of(name, name_hash);
    if (position < entries_.size()) {
        entries_[position].second = value;
        return;
    }
    append(std::string(name), value, name_hash);
}

void Context::merge(const Context& other) {
    if (entries_.empty() && !index_) {
        *this = other;
        return;
    }
    for (const Entry& entry : other.entries_) {
        insert_copy(entry.first, entry.second);
    }
}

void Context::merge(Context&& other) {
    if (entries_.empty() && !index_) {
        *this = std::move(other);
        return;
    }
    for (Entry& entry : other.entries_) {
        insert(std::move(entry.first), std::move(entry.second));
    }
    other.entries_.clear();
    other.index_.reset();
}

void Context::reserve(std::size_t count) { entries_.reserve(count); }

Context gather_inputs(std::span<const InputRef> inputs) {
    Context context;
    context.reserve(inputs.size());
    for (const InputRef& input : inputs) {
        context.insert_copy(input.name, *input.value);
    }
    return context;
}

std::size_t PublishedOutputs::find_indexed(std::string_view name) {
    if (slots_.empty()) {
        std::size_t capacity = 1;
        while (capacity < 2 * names_.size()) {
            capacity *= 2;
        }
        slots_.assign(capacity, 0);
        for (std::size_t i = 0; i < names_.size(); ++i) {
            std::size_t slot = std::hash<std::string_view>{}(names_[i]) & (capacity - 1);
            while (slots_[slot] != 0) {
                slot = (slot + 1) & (capacity - 1);
            }
            slots_[slot] = i + 1;
        }
    }
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = std::hash<std::string_view>{}(name)&mask; slots_[slot] != 0;
         slot = (slot + 1) & mask) {
        if (names_[slots_[slot] - 1] == name) {
            return slots_[slot] - 1;
        }
    }
    return npos;
}

void PublishedOutputs::take_from(Context& returned) {
    if (returned.empty()) {
        return;
    }
    for (std::size_t i = 0; i < size(); ++i) {
        if (GraphData* value = returned.find(name(i))) {
            set(i, std::move(*value));
        }
    }
}

namespace {

class NoopFunction final : public NodeFunction {
public:
    void call(std::span<const InputRef>, const Context&, PublishedOutputs&) const override {}
};

// Made when the library loads, so that no thread can be halfway through making it when another
// one forks.
const NodeFunctionPtr g_noop = std::make_shared<const NoopFunction>();

} // namespace

NodeFunctionPtr noop_node_function() { return g_noop; }

bool is_noop_node_function(const NodeFunction& function) noexcept {
    return &function == g_noop.get();
}

} // namespace vantorix
