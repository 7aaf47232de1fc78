// The mappings of a node: which context variables it reads under which names, and which of its
// results it publishes under which names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantorix {

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
                read_length(read_length(pair_ + kHashesSize, key_length), value_length);
            return {std::string_view(text, key_length),
                    std::string_view(text + key_length, value_length)};
        }
        const_iterator& operator++() noexcept {
            if (--remaining_ == 0) {
                pair_ = nullptr;
                return *this;
            }
            std::size_t key_length = 0;
            std::size_t value_length = 0;
            const char* text =
                read_length(read_length(pair_ + kHashesSize, key_length), value_length);
            pair_ = text + key_length + value_length;
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
        const_iterator(const char* pair, std::size_t remaining)
            : pair_(pair), remaining_(remaining) {}
        const char* pair_ = nullptr;
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
    // base-128 varint (one byte below 128) and the two texts, pairs packed without padding.
    static std::size_t stored_size(std::size_t key_length, std::size_t value_length) noexcept;
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

    // Bytes of the two hashes at the start of each stored pair.
    static constexpr std::size_t kHashesSize = 2 * sizeof(std::uint32_t);

private:
    static const char* read_long_length(const char* in, std::size_t& length) noexcept;

    std::size_t byte_size() const noexcept;

    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
};

} // namespace vantorix
