// One step of a graph: a node function plus the variables it reads and publishes.
#pragma once

#include "graph_data/graph_data.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantorix {

using NodeId = std::uint64_t;
using BranchId = std::uint64_t;

// A text-to-text map with unique keys. All pairs of one mapping live in a single allocation,
// each with the hashes of both texts, so a node stays small and the names it reads and publishes
// are hashed once, when the node is made, not on every run. Iteration yields
// (key, value) views; the order is unspecified to callers. Sizes are limited only by memory.
class VariableMapping {
public:
    using Pair = std::pair<std::string, std::string>;
    using View = std::pair<std::string_view, std::string_view>;

    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = View;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = View;

        const_iterator() = default;
        // Inline: a run walks a node's two mappings for every node.
        View operator*() const noexcept {
            std::size_t key_length = 0;
            std::size_t value_length = 0;
            const char* text =
                read_length(read_length(record_ + kHashesSize, key_length), value_length);
            return {std::string_view(text, key_length),
                    std::string_view(text + key_length, value_length)};
        }
        const_iterator& operator++() noexcept {
            if (--remaining_ == 0) {
                record_ = nullptr;
                return *this;
            }
            std::size_t key_length = 0;
            std::size_t value_length = 0;
            const char* text =
                read_length(read_length(record_ + kHashesSize, key_length), value_length);
            record_ = text + key_length + value_length;
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator before = *this;
            ++*this;
            return before;
        }
        bool operator==(const const_iterator& other) const {
            return remaining_ == other.remaining_;
        }
        std::uint32_t key_hash() const;
        std::uint32_t value_hash() const;

    private:
        friend class VariableMapping;
        const_iterator(const char* record, std::size_t remaining)
            : record_(record), remaining_(remaining) {}
        const char* record_ = nullptr;
        std::size_t remaining_ = 0; // pairs from this one to the end
    };

    VariableMapping() = default;
    VariableMapping(const VariableMapping& other);
    VariableMapping(VariableMapping&&) noexcept = default;
    VariableMapping& operator=(const VariableMapping& other);
    VariableMapping& operator=(VariableMapping&&) noexcept = default;

    // Later pairs replace earlier ones with the same key.
    static VariableMapping from_pairs(std::vector<Pair> pairs);

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    const_iterator begin() const noexcept { return const_iterator(data_.get(), size_); }
    const_iterator end() const noexcept { return const_iterator(); }

    // The stored form of one pair, exposed for tests: its two hashes, each text's length as a
    // base-128 varint (one byte below 128) and the two texts, records packed without padding.
    static std::size_t record_size(std::size_t key_length, std::size_t value_length) noexcept;
    // Writes `length` as a varint at `out`; returns the end of what it wrote (at most 10 bytes).
    static char* write_length(char* out, std::size_t length) noexcept;
    // Reads a varint written by `write_length`; returns the end of what it read.
    static const char* read_length(const char* in, std::size_t& length) noexcept {
        const auto first = static_cast<unsigned char>(*in);
        if (first < 0x80) {
            length = first;
            return in + 1;
        }
        return read_long_length(in, length);
    }

    // Bytes of the two hashes at the start of each record.
    static constexpr std::size_t kHashesSize = 2 * sizeof(std::uint32_t);

private:
    static const char* read_long_length(const char* in, std::size_t& length) noexcept;

    std::size_t byte_size() const noexcept;

    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
};

// The identifiers a node waits for, in order. Nodes made by the builder wait for at most one
// other node, so a single identifier is kept inline and only longer lists are allocated, with
// their capacity in front of them.
class Dependencies {
public:
    using value_type = NodeId;
    using iterator = NodeId*;
    using const_iterator = const NodeId*;

    Dependencies() noexcept : inline_id_(0) {}
    Dependencies(std::initializer_list<NodeId> ids) : Dependencies() {
        assign(ids.begin(), ids.size());
    }
    Dependencies(const std::vector<NodeId>& ids) : Dependencies() {
        assign(ids.data(), ids.size());
    }
    Dependencies(const Dependencies& other) : Dependencies() {
        assign(other.begin(), other.size());
    }
    Dependencies(Dependencies&& other) noexcept;
    Dependencies& operator=(const Dependencies& other);
    Dependencies& operator=(Dependencies&& other) noexcept;
    ~Dependencies();

    void push_back(NodeId id);

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    NodeId& operator[](std::size_t i) noexcept { return data()[i]; }
    NodeId operator[](std::size_t i) const noexcept { return data()[i]; }
    iterator begin() noexcept { return data(); }
    iterator end() noexcept { return data() + size_; }
    const_iterator begin() const noexcept { return data(); }
    const_iterator end() const noexcept { return data() + size_; }

    friend bool operator==(const Dependencies& a, const Dependencies& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }
    friend bool operator==(const Dependencies& a, const std::vector<NodeId>& b) {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }

private:
    bool is_inline() const noexcept { return size_ <= 1; }
    NodeId* data() noexcept { return is_inline() ? &inline_id_ : heap_ + 1; }
    const NodeId* data() const noexcept { return is_inline() ? &inline_id_ : heap_ + 1; }
    std::size_t capacity() const noexcept {
        return is_inline() ? 1 : static_cast<std::size_t>(heap_[0]);
    }
    void assign(const NodeId* ids, std::size_t count);
    void release() noexcept;

    union {
        NodeId inline_id_;
        NodeId* heap_; // heap_[0] is the capacity, the identifiers follow
    };
    std::size_t size_ = 0;
};

struct Node {
    NodeId id;
    std::optional<std::string> label;
    NodeFunctionPtr function;
    VariableMapping input_mapping;  // broadcast variable -> implementation variable
    VariableMapping output_mapping; // implementation variable -> broadcast variable
    Context variant_params;         // handed to the function; nothing fills it
    Dependencies dependencies;
    std::optional<BranchId> branch_id;
    bool is_branch_entry = false;

    Node(NodeId node_id, std::optional<std::string> node_label, NodeFunctionPtr node_function,
         VariableMapping inputs, VariableMapping outputs);

    Node(Node&&) noexcept = default;
    Node& operator=(Node&&) noexcept = default;
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    // Gathers the mapped inputs from `context`, calls the function and returns only the mapped
    // outputs, keyed by broadcast variable. Reads `context`, never writes it.
    Context execute(const Context& context) const;
    // The same, inserting the published outputs straight into `target`, which may be
    // `context` itself (the running context of a sequential run).
    void execute_into(const Context& context, Context& target) const;
};

} // namespace vantorix
