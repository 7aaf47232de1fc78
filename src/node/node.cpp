#include "node/node.hpp"

#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>

namespace vantorix {

namespace {

constexpr std::size_t kHashesSize = VariableMapping::kHashesSize;

std::size_t length_size(std::size_t length) noexcept {
    std::size_t bytes = 1;
    for (; length >= 0x80; length >>= 7) {
        ++bytes;
    }
    return bytes;
}

std::uint32_t hash_at(const char* at) noexcept {
    std::uint32_t hash;
    std::memcpy(&hash, at, sizeof hash);
    return hash;
}

struct Record {
    std::string_view key;
    std::string_view value;
    const char* next;
};

Record read_record(const char* record) noexcept {
    std::size_t key_length = 0;
    std::size_t value_length = 0;
    const char* text = VariableMapping::read_length(
        VariableMapping::read_length(record + kHashesSize, key_length), value_length);
    return {std::string_view(text, key_length), std::string_view(text + key_length, value_length),
            text + key_length + value_length};
}

// A block of `count` identifiers with the capacity in front.
NodeId* allocate_ids(std::size_t count) {
    auto* block = new NodeId[count + 1];
    block[0] = count;
    return block;
}

} // namespace

std::size_t VariableMapping::record_size(std::size_t key_length,
                                         std::size_t value_length) noexcept {
    return kHashesSize + length_size(key_length) + length_size(value_length) + key_length +
           value_length;
}

char* VariableMapping::write_length(char* out, std::size_t length) noexcept {
    for (; length >= 0x80; length >>= 7) {
        *out++ = static_cast<char>((length & 0x7f) | 0x80);
    }
    *out++ = static_cast<char>(length);
    return out;
}

const char* VariableMapping::read_long_length(const char* in, std::size_t& length) noexcept {
    length = 0;
    for (unsigned shift = 0;; shift += 7) {
        const auto byte = static_cast<unsigned char>(*in++);
        length |= static_cast<std::size_t>(byte & 0x7f) << shift;
        if ((byte & 0x80) == 0) {
            return in;
        }
    }
}

std::uint32_t VariableMapping::const_iterator::key_hash() const { return hash_at(record_); }

std::uint32_t VariableMapping::const_iterator::value_hash() const {
    return hash_at(record_ + sizeof(std::uint32_t));
}

std::size_t VariableMapping::byte_size() const noexcept {
    const char* record = data_.get();
    for (std::size_t i = 0; i < size_; ++i) {
        record = read_record(record).next;
    }
    return static_cast<std::size_t>(record - data_.get());
}

VariableMapping::VariableMapping(const VariableMapping& other) : size_(other.size_) {
    const std::size_t bytes = other.byte_size();
    if (bytes != 0) {
        data_ = std::make_unique_for_overwrite<char[]>(bytes);
        std::memcpy(data_.get(), other.data_.get(), bytes);
    }
}

VariableMapping& VariableMapping::operator=(const VariableMapping& other) {
    if (this != &other) {
        VariableMapping copy(other);
        *this = std::move(copy);
    }
    return *this;
}

VariableMapping VariableMapping::from_pairs(std::vector<Pair> pairs) {
    // Positions of the first pair of every key, each holding the last value given for it.
    std::vector<std::size_t> kept;
    std::vector<std::size_t> value_of(pairs.size());
    kept.reserve(pairs.size());
    std::unordered_map<std::string_view, std::size_t> first_of;
    const bool hashed = pairs.size() > 8; // short lists are searched linearly
    if (hashed) {
        first_of.reserve(pairs.size());
    }
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        std::size_t first = i;
        if (hashed) {
            first = first_of.try_emplace(pairs[i].first, i).first->second;
        } else {
            for (const std::size_t k : kept) {
                if (pairs[k].first == pairs[i].first) {
                    first = k;
                    break;
                }
            }
        }
        if (first == i) {
            kept.push_back(i);
        }
        value_of[first] = i;
    }

    std::size_t bytes = 0;
    for (const std::size_t k : kept) {
        bytes += record_size(pairs[k].first.size(), pairs[value_of[k]].second.size());
    }
    VariableMapping mapping;
    if (bytes == 0) {
        return mapping;
    }
    mapping.data_ = std::make_unique_for_overwrite<char[]>(bytes);
    mapping.size_ = kept.size();
    char* record = mapping.data_.get();
    for (const std::size_t k : kept) {
        const std::string& key = pairs[k].first;
        const std::string& value = pairs[value_of[k]].second;
        const std::uint32_t hashes[] = {Context::hash(key), Context::hash(value)};
        std::memcpy(record, hashes, sizeof hashes);
        record = write_length(write_length(record + sizeof hashes, key.size()), value.size());
        std::memcpy(record, key.data(), key.size());
        std::memcpy(record + key.size(), value.data(), value.size());
        record += key.size() + value.size();
    }
    return mapping;
}

Dependencies::Dependencies(Dependencies&& other) noexcept : size_(other.size_) {
    if (other.is_inline()) {
        inline_id_ = other.inline_id_;
    } else {
        heap_ = other.heap_;
    }
    other.size_ = 0;
    other.inline_id_ = 0;
}

Dependencies& Dependencies::operator=(const Dependencies& other) {
    if (this != &other) {
        assign(other.begin(), other.size());
    }
    return *this;
}

Dependencies& Dependencies::operator=(Dependencies&& other) noexcept {
    if (this != &other) {
        release();
        new (this) Dependencies(std::move(other));
    }
    return *this;
}

Dependencies::~Dependencies() { release(); }

void Dependencies::release() noexcept {
    if (!is_inline()) {
        delete[] heap_;
    }
    size_ = 0;
    inline_id_ = 0;
}

void Dependencies::assign(const NodeId* ids, std::size_t count) {
    if (count <= 1) {
        const NodeId id = count == 0 ? 0 : ids[0];
        release();
        inline_id_ = id;
        size_ = count;
        return;
    }
    if (!is_inline() && capacity() >= count) {
        std::copy(ids, ids + count, heap_ + 1);
        size_ = count;
        return;
    }
    NodeId* grown = allocate_ids(count);
    std::copy(ids, ids + count, grown + 1);
    release();
    heap_ = grown;
    size_ = count;
}

void Dependencies::push_back(NodeId id) {
    if (size_ == 0) {
        inline_id_ = id;
        size_ = 1;
        return;
    }
    if (size_ == capacity()) {
        NodeId* grown = allocate_ids(std::max<std::size_t>(4, size_ * 2));
        std::copy(begin(), end(), grown + 1);
        grown[1 + size_] = id;
        const std::size_t count = size_ + 1;
        release();
        heap_ = grown;
        size_ = count;
        return;
    }
    heap_[1 + size_++] = id;
}

Node::Node(NodeId node_id, std::optional<std::string> node_label, NodeFunctionPtr node_function,
           VariableMapping inputs, VariableMapping outputs)
    : id(node_id), label(std::move(node_label)), function(std::move(node_function)),
      input_mapping(std::move(inputs)), output_mapping(std::move(outputs)) {}

Context Node::execute(const Context& context) const {
    Context result;
    execute_into(context, result);
    return result;
}

void Node::execute_into(const Context& context, Context& target) const {
    Context inputs;
    if (!context.empty() && !input_mapping.empty()) {
        inputs.reserve(input_mapping.size());
        for (auto entry = input_mapping.begin(); entry != input_mapping.end(); ++entry) {
            const auto [broadcast_var, impl_var] = *entry;
            if (const GraphData* value = context.find(broadcast_var, entry.key_hash())) {
                inputs.insert_copy(impl_var, *value, entry.value_hash());
            }
        }
    }
    // `context` may be `target` itself: it is read only above, before the function runs.
    Context outputs = (*function)(inputs, variant_params);
    if (outputs.empty() || output_mapping.empty()) {
        return;
    }
    if (target.empty()) {
        target.reserve(output_mapping.size());
    }
    for (auto entry = output_mapping.begin(); entry != output_mapping.end(); ++entry) {
        const auto [impl_var, broadcast_var] = *entry;
        if (GraphData* value = outputs.find(impl_var)) {
            // Implementation variables are unique keys, so each output is taken at most once
            // and can be moved rather than copied.
            target.insert(std::string(broadcast_var), std::move(*value), entry.value_hash());
        }
    }
}

} // namespace vantorix
