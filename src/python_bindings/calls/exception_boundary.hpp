// Entry points called by the interpreter never let a C++ exception reach its C frames.
#pragma once

#include "runtime/py_ref.hpp"
#include "runtime/thread_end.hpp"

#include <type_traits>

namespace vantorix::python {

// Sets the Python error for the C++ exception being handled: MemoryError for std::bad_alloc
// (the interpreter's own way of reporting exhausted memory), the internal-failure exception with
// the exception's message for any other. Call only from a catch block.
void raise_current_cxx_exception() noexcept;

// `guarded<f>` is `f` as the interpreter may call it: an exception thrown by `f` becomes the
// Python error above, and the call returns the failure value of its result type.
template <auto Function> struct Guarded;

template <class Result, class... Args, Result (*Function)(Args...)> struct Guarded<Function> {
    [[gnu::no_sanitize("null")]] static Result call(Args... args) noexcept {
        try {
            return Function(args...);
        } catch (abi::__forced_unwind&) {
            park_thread_for_good(); // the interpreter ends this thread (thread_end.hpp)
        } catch (...) {
            raise_current_cxx_exception();
            if constexpr (std::is_pointer_v<Result>) {
                return nullptr;
            } else {
                return -1;
            }
        }
    }
};

template <auto Function> constexpr auto guarded = &Guarded<Function>::call;

// `guarded<f>` as the untyped pointer of a type slot.
template <auto Function> void* guarded_slot() noexcept {
    return reinterpret_cast<void*>(guarded<Function>);
}

// `guarded<f>` as the function of a method table entry, whatever its calling convention.
template <auto Function> PyCFunction guarded_method() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guarded<Function>));
}

} // namespace vantorix::python
