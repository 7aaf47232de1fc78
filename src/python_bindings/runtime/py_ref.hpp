// A small owner for one strong Python reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "runtime/thread_end.hpp"

#include <atomic>
#include <utility>

namespace vantorix::python {

// Gives back one reference (null allowed). Giving back the last one runs the object's finaliser,
// Python code that may drop the lock and take it back, and so end the thread (thread_end.hpp).
inline void drop_reference(PyObject* object) noexcept {
    if (object != nullptr) {
        parking_on_thread_end([object] { Py_DECREF(object); });
    }
}

// A new reference to `object`, which must not be null.
inline PyObject* new_reference(PyObject* object) noexcept {
    Py_INCREF(object);
    return object;
}

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (null allowed, e.g. a failed call).
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Takes a new reference to a borrowed object.
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            drop_reference(std::exchange(object_, other.release()));
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { drop_reference(object_); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

// What `slot` holds once `publish_once` has filled it, or null. Borrowed.
template <class T> T* published(T* const& slot) noexcept {
    return std::atomic_ref<T*>(const_cast<T*&>(slot)).load(std::memory_order_acquire);
}

// Keeps `made` (a new reference, not null) in the empty `slot`, unless the slot was filled while
// `made` was being made: by a finaliser that the collector ran on one of its allocations, or by
// another thread. The loser's copy is dropped, so every reader sees the one object kept. Returns
// that object, borrowed from the slot.
template <class T> T* publish_once(T*& slot, PyRef made) noexcept {
    T* expected = nullptr;
    T* object = reinterpret_cast<T*>(made.get());
    if (std::atomic_ref<T*>(slot).compare_exchange_strong(expected, object,
                                                          std::memory_order_acq_rel)) {
        made.release();
        return object;
    }
    return expected;
}

// The current Python error, taken out and normalised, so the caller owns its three parts.
struct FetchedError {
    PyRef type;
    PyRef value;
    PyRef traceback;

    static FetchedError take() {
        PyObject* raw_type = nullptr;
        PyObject* raw_value = nullptr;
        PyObject* raw_traceback = nullptr;
        PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
        PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
        return {PyRef::steal(raw_type), PyRef::steal(raw_value), PyRef::steal(raw_traceback)};
    }
    // Sets it as the current error again.
    void restore() && { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};

} // namespace vantorix::python
