// How the module holds Python references and the interpreter lock from any thread.
//
// Every engine value that wraps a Python object points to one shared holder that owns a single
// Python reference and an atomic count of the values sharing it. Copying a value only bumps that
// count, so the engine can copy values on any thread without touching the interpreter. When the
// last value goes away the Python reference is given back at once if this thread holds the lock,
// and queued otherwise; the queue is applied at the next entry into the module.
#pragma once

#include "graph_data/graph_data.hpp"
#include "py_ref.hpp"

#include <functional>

namespace vantorix::python {

// How deeply this thread holds the interpreter lock, as far as this module knows.
int& lock_depth() noexcept;

// Gives back the references queued by threads that did not hold the lock. Lock held.
void apply_pending_decrefs();

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

// Marks a call from Python into the module: applies pending reference changes, then gives
// references back at once for the duration of the call.
class ModuleEntry {
public:
    ModuleEntry() { apply_pending_decrefs(); }
    ModuleEntry(const ModuleEntry&) = delete;
    ModuleEntry& operator=(const ModuleEntry&) = delete;

private:
    ImmediateReleases releases_;
};

// Whether the calling thread is the one that runs Python's signal handlers: the process's first
// thread, where the interpreter runs them for `python` (and for a forked child, whose only
// thread is the one that forked).
bool runs_signal_handlers() noexcept;

// Takes the interpreter lock for a node function on whatever thread it runs. `acquired()` is
// false once the interpreter finalises, on every thread but the finalising one: Python must not
// be touched then.
class NodeLock {
public:
    NodeLock();
    ~NodeLock();
    bool acquired() const noexcept { return acquired_; }
    NodeLock(const NodeLock&) = delete;
    NodeLock& operator=(const NodeLock&) = delete;

private:
    bool acquired_ = false;
    bool took_lock_ = false;
    PyGILState_STATE state_{};
};

// Releases the interpreter lock for an engine run on the calling thread and takes it back.
class ReleasedLock {
public:
    ReleasedLock();
    // Takes the lock back. Once the interpreter finalises, a thread other than the finalising
    // one never returns from here: it is parked, as the interpreter would end it.
    void reacquire();
    ~ReleasedLock() { reacquire(); }
    // Runs `action` with the lock briefly held again, from inside the released section. Does
    // nothing once the interpreter finalises, unless this is the finalising thread.
    void with_lock(const std::function<void()>& action);
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

private:
    PyThreadState* saved_ = nullptr;
    int saved_depth_ = 0;
    bool saved_finalizing_thread_ = false;
};

} // namespace vantorix::python
