// How engine values hold Python references on any thread.
//
// Every engine value that wraps a Python object points to one shared holder that owns a single
// Python reference and an atomic count of the values sharing it. Copying a value only bumps that
// count, so the engine can copy values on any thread without touching the interpreter. When the
// last value goes away the Python reference is given back at once if this thread holds the lock,
// and queued otherwise; the queue is applied at the next entry into the module.
#pragma once

#include "graph_data/graph_data.hpp"
#include "runtime/py_ref.hpp"

namespace vantorix::python {

// How deeply this thread holds the interpreter lock, as far as this module knows: references are
// given back at once while it is above zero, and queued otherwise.
int& lock_depth() noexcept;

// Gives back the references queued by threads that did not hold the lock. Lock held.
void apply_released_references();

// Installs the holder operations into the engine. Called once at import.
void install_object_handle_ops() noexcept;

// A new engine value holding a new reference to `object`. Lock held.
GraphData wrap_object(PyObject* object);
// The object behind a handle made by `wrap_object` (borrowed).
PyObject* handle_object(void* handle) noexcept;

// For the cyclic garbage collector: visits the objects that values of `context` (nested maps
// included) hold and share with no other value, whose one reference therefore belongs to the
// context's owner alone. Shared ones are skipped, which can keep a cycle alive but never frees an
// object too early. Lock held.
int visit_sole_objects(const Context& context, visitproc visit, void* arg);
// The same for one value.
int visit_sole_objects(const GraphData& value, visitproc visit, void* arg);

// A stretch run with the lock held in which the references the module gives back are given back
// at once instead of being queued. It applies nothing from the queue: deallocators and tp_clear
// use it alone, since the queue's releases run arbitrary finalisers (and the collector with
// them), which must never meet an instance that is half torn down.
class ImmediateReleases {
public:
    ImmediateReleases() noexcept { ++lock_depth(); }
    ~ImmediateReleases() { --lock_depth(); }
    ImmediateReleases(const ImmediateReleases&) = delete;
    ImmediateReleases& operator=(const ImmediateReleases&) = delete;
};

// Marks a call from Python into the module: applies the queued releases, then gives references
// back at once for the duration of the call.
class ModuleEntry {
public:
    ModuleEntry() { apply_released_references(); }
    ModuleEntry(const ModuleEntry&) = delete;
    ModuleEntry& operator=(const ModuleEntry&) = delete;

private:
    ImmediateReleases releases_;
};

} // namespace vantorix::python
