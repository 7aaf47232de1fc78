// A short array kept on the stack.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <span>

namespace vantorix {

// `size` default-constructed elements on the stack, or on the heap when there are more than N.
// Only the elements in use are constructed: a node's arrays are made every time it runs.
template <class T, std::size_t N> class SmallArray {
public:
    explicit SmallArray(std::size_t size) : size_(size) {
        if (size > N) {
            heap_ = std::make_unique<T[]>(size);
            data_ = heap_.get();
        } else {
            data_ = std::launder(reinterpret_cast<T*>(local_));
            std::uninitialized_default_construct_n(data_, size);
        }
    }
    ~SmallArray() {
        if (!heap_) {
            std::destroy_n(data_, size_);
        }
    }
    SmallArray(const SmallArray&) = delete;
    SmallArray& operator=(const SmallArray&) = delete;

    T& operator[](std::size_t i) noexcept { return data_[i]; }
    std::span<T> first(std::size_t count) noexcept { return {data_, count}; }

private:
    alignas(T) unsigned char local_[N * sizeof(T)];
    std::unique_ptr<T[]> heap_;
    T* data_;
    std::size_t size_;
};

} // namespace vantorix
