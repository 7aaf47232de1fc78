// What every method shares before its own work: entering the module and borrowing the instance.
#pragma once

#include "calls/exception_boundary.hpp"
#include "runtime/object_handles.hpp"

namespace vantorix::python {

// The per-instance borrow counter: 0 free, > 0 shared borrows, -1 held exclusively. It guards an
// instance against re-entrant use from Python; all access happens with the lock held.
class Borrow {
public:
    enum class Kind { Shared, Exclusive };

    // Raises RuntimeError and leaves `ok()` false on conflict.
    Borrow(Py_ssize_t& counter, Kind kind) : kind_(kind) {
        if (kind == Kind::Exclusive ? counter != 0 : counter == -1) {
            PyErr_SetString(PyExc_RuntimeError, kind == Kind::Exclusive
                                                    ? "Already borrowed"
                                                    : "Already mutably borrowed");
            return;
        }
        counter = kind == Kind::Exclusive ? -1 : counter + 1;
        counter_ = &counter;
    }
    ~Borrow() {
        if (counter_ != nullptr) {
            *counter_ = kind_ == Kind::Exclusive ? 0 : *counter_ - 1;
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

template <class Instance, class Result, class... Args, Result (*Function)(Instance*, Args...),
          Borrow::Kind Kind>
struct Entered<Function, Kind> {
    static Result call(PyObject* self, Args... args) {
        ModuleEntry entry;
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
