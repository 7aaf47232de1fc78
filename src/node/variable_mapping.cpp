#include "node/variable_mapping.hpp"

#include "graph_data/graph_data.hpp"

#include <cstring>
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

struct StoredPair {
    std::string_view key;
    std::string_view value;
    const char* next;
};

StoredPair read_pair(const char* pair) noexcept {
    std::size_t key_length = 0;
    std::size_t value_length = 0;
    const char* text = VariableMapping::read_length(
        VariableMapping::read_length(pair + kHashesSize, key_length), value_length);
    return {std::string_view(text, key_length), std::string_view(text + key_length, value_length),
            text + key_length + value_length};
}

} // namespace

std::size_t VariableMapping::stored_size(std::size_t key_length,
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

std::uint32_t VariableMapping::const_iterator::key_hash() const { return hash_at(pair_); }

std::uint32_t VariableMapping::const_iterator::value_hash() const {
    return hash_at(pair_ + sizeof(std::uint32_t));
}

std::size_t VariableMapping::byte_size() const noexcept {
    const char* pair = data_.get();
    for (std::size_t i = 0; i < size_; ++i) {
        pair = read_pair(pair).next;
    }
    return static_cast<std::size_t>(pair - data_.get());
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
        bytes += stored_size(pairs[k].first.size(), pairs[value_of[k]].second.size());
    }
    VariableMapping mapping;
    if (bytes == 0) {
        return mapping;
    }
    mapping.data_ = std::make_unique_for_overwrite<char[]>(bytes);
    mapping.size_ = kept.size();
    char* pair = mapping.data_.get();
    for (const std::size_t k : kept) {
        const std::string& key = pairs[k].first;
        const std::string& value = pairs[value_of[k]].second;
        const std::uint32_t hashes[] = {Context::hash(key), Context::hash(value)};
        std::memcpy(pair, hashes, sizeof hashes);
        pair = write_length(write_length(pair + sizeof hashes, key.size()), value.size());
        std::memcpy(pair, key.data(), key.size());
        std::memcpy(pair + key.size(), value.data(), value.size());
        pair += key.size() + value.size();
    }
    return mapping;
}

} // namespace vantorix
