#include "node/node.hpp"

#include <new>

namespace vantorix {

namespace {

// A block of `count` identifiers with the capacity in front.
NodeId* allocate_ids(std::size_t count) {
    auto* block = new NodeId[count + 1];
    block[0] = count;
    return block;
}

} // namespace

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

} // namespace vantorix
