#include "node/node.hpp"

#include <cstring>
#include <new>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

namespace vantorix {

namespace {

// Layout of one pair: this header, the key's bytes, the value's bytes, padding to 8 bytes.
struct PairHeader {
    std::uint32_t key_length;
    std::uint32_t value_length;
    std::uint32_t key_hash;
    std::uint32_t value_hash;
};

constexpr std::size_t record_size(std::size_t key_length, std::size_t value_length) {
    return (sizeof(PairHeader) + key_length + value_length + 7) & ~std::size_t{7};
}

PairHeader header_at(const char* record) {
    PairHeader header;
    std::memcpy(&header, record, sizeof header);
    return header;
}

} // namespace

VariableMapping::View VariableMapping::const_iterator::operator*() const {
    const PairHeader header = header_at(record_);
    const char* key = record_ + sizeof(PairHeader);
    return {std::string_view(key, header.key_length),
            std::string_view(key + header.key_length, header.value_length)};
}

VariableMapping::const_iterator& VariableMapping::const_iterator::operator++() {
    const PairHeader header = header_at(record_);
    record_ += record_size(header.key_length, header.value_length);
    return *this;
}

std::uint32_t VariableMapping::const_iterator::key_hash() const {
    return header_at(record_).key_hash;
}

std::uint32_t VariableMapping::const_iterator::value_hash() const {
    return header_at(record_).value_hash;
}

VariableMapping::VariableMapping(const VariableMapping& other)
    : data_(other.bytes_ == 0 ? nullptr : new char[other.bytes_]), size_(other.size_),
      bytes_(other.bytes_) {
    if (bytes_ != 0) {
        std::memcpy(data_.get(), other.data_.get(), bytes_);
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
    if (bytes > UINT32_MAX) {
        throw std::length_error("variable mapping too large");
    }
    VariableMapping mapping;
    mapping.size_ = static_cast<std::uint32_t>(kept.size());
    mapping.bytes_ = static_cast<std::uint32_t>(bytes);
    if (bytes == 0) {
        return mapping;
    }
    mapping.data_ = std::make_unique<char[]>(bytes);
    char* record = mapping.data_.get();
    for (const std::size_t k : kept) {
        const std::string& key = pairs[k].first;
        const std::string& value = pairs[value_of[k]].second;
        const PairHeader header{static_cast<std::uint32_t>(key.size()),
                                static_cast<std::uint32_t>(value.size()), Context::hash(key),
                                Context::hash(value)};
        std::memcpy(record, &header, sizeof header);
        std::memcpy(record + sizeof header, key.data(), key.size());
        std::memcpy(record + sizeof header + key.size(), value.data(), value.size());
        record += record_size(key.size(), value.size());
    }
    return mapping;
}

Dependencies::Dependencies(Dependencies&& other) noexcept
    : size_(other.size_), capacity_(other.capacity_) {
    if (other.is_inline()) {
        inline_id_ = other.inline_id_;
    } else {
        heap_ = other.heap_;
    }
    other.size_ = 0;
    other.capacity_ = 1;
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
    capacity_ = 1;
    inline_id_ = 0;
}

void Dependencies::assign(const NodeId* ids, std::size_t count) {
    if (count > UINT32_MAX) {
        throw std::length_error("too many dependencies");
    }
    if (count > capacity_) {
        auto* grown = new NodeId[count];
        release();
        heap_ = grown;
        capacity_ = static_cast<std::uint32_t>(count);
    }
    std::copy(ids, ids + count, data());
    size_ = static_cast<std::uint32_t>(count);
}

void Dependencies::push_back(NodeId id) {
    if (size_ == capacity_) {
        if (capacity_ >= UINT32_MAX / 2) {
            throw std::length_error("too many dependencies");
        }
        const std::uint32_t grown_capacity = capacity_ * 2;
        auto* grown = new NodeId[grown_capacity];
        std::copy(begin(), end(), grown);
        const std::uint32_t count = size_;
        release();
        heap_ = grown;
        capacity_ = grown_capacity;
        size_ = count;
    }
    data()[size_++] = id;
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
