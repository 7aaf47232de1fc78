// What every method shares before its own work: entering the module and borrowing the instance.
#pragma once

#include "calls/exception_boundary.hpp"
#include "runtime/object_handles.hpp"
#include "runtime/object_lock.hpp"

#include <atomic>
#include <optional>

namespace vantorix::python {

// The per-instance borrow counter: 0 free, > 0 shared borrows, -1 held exclusively. It guards an
// instance against re-entrant use from Python, and on a free-threaded interpreter against use
// from another thread while a borrow that excludes it lasts; it is changed atomically.
class Borrow {
public:
    enum class Kind { Shared, Exclusive };

    // Raises RuntimeError and leaves `ok()` false on conflict.
    Borrow(Py_ssize_t& counter, Kind kind) : kind_(kind) {
        std::atomic_ref<Py_ssize_t> shared(counter);
        Py_ssize_t seen = shared.load(std::memory_order_relaxed);
        do {
            if (kind == Kind::Exclusive ? seen != 0 : seen == -1) {
                PyErr_SetString(PyExc_RuntimeError, kind == Kind::Exclusive
                                                        ? "Already borrowed"
                                                        : "Already mutably borrowed");
                return;
            }
        } while (!shared.compare_exchange_weak(seen, kind == Kind::Exclusive ? -1 : seen + 1,
                                               std::memory_order_acquire,
                                               std::memory_order_relaxed));
        counter_ = &counter;
    }
    ~Borrow() {
        if (counter_ == nullptr) {
            return;
        }
        std::atomic_ref<Py_ssize_t> shared(*counter_);
        if (kind_ == Kind::Exclusive) {
            shared.store(0, std::memory_order_release);
        } else {
            shared.fetch_sub(1, std::memory_order_release);
        }
    }
    bool ok() const noexcept { return counter_ != nullptr; }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;

private:
    Py_ssize_t* counter_ = nullptr;
    Kind kind_;
};

// `Entered<f>::call` is `f`, which takes its instance typed, called from Python: the module is
// entered first (queued releases applied). With a borrow kind the instance's `borrow` counter is
// taken too for the length of the call; on conflict `f` is not called.
template <auto Function, Borrow::Kind... Kind> struct Entered;

template <class Instance, class Result, class... Args, Result (*Function)(Instance*, Args...)>
struct Entered<Function> {
    static Result call(PyObject* self, Args... args) {
        ModuleEntry entry;
        return Function(reinterpret_cast<Instance*>(self), args...);
    }
};

// An exclusive borrow is taken under the instance's lock, so that calls from several threads of
// a free-threaded interpreter wait for each other as they do for the GIL, instead of failing.
template <class Instance, class Result, class... Args, Result (*Function)(Instance*, Args...),
          Borrow::Kind Kind>
struct Entered<Function, Kind> {
    static Result call(PyObject* self, Args... args) {
        ModuleEntry entry;
        std::optional<ObjectLock> lock;
        if constexpr (Kind == Borrow::Kind::Exclusive) {
            lock.emplace(self);
        }
        Instance* instance = reinterpret_cast<Instance*>(self);
        Borrow borrow(instance->borrow, Kind);
        if (!borrow.ok()) {
            return nullptr;
        }
        return Function(instance, args...);
    }
};

// A method table entry's function: `f` entered (and borrowed), guarded against C++ exceptions.
template <auto Function, Borrow::Kind... Kind> PyCFunction method() noexcept {
    return guarded_method<&Entered<Function, Kind...>::call>();
}

// The same for a getter.
template <auto Function, Borrow::Kind... Kind> constexpr getter getter_of() noexcept {
    return guarded<&Entered<Function, Kind...>::call>;
}

} // namespace vantorix::python
