#include "interpreter_lock.hpp"

#include <pythread.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace vantorix::python {

namespace {

thread_local int t_lock_depth = 0;

// References given back by threads without the interpreter lock. Never destroyed: while the
// process exits, engine threads of a daemon thread's run may still be queueing references when
// static destructors run.
struct PendingDecrefs {
    std::mutex mutex;
    std::vector<PyObject*> objects;
};
PendingDecrefs& g_pending = *new PendingDecrefs;
std::atomic<bool> g_pending_dirty{false};

struct ObjectHolder {
    std::atomic<std::size_t> count;
    PyObject* object;
};

void give_back(PyObject* object) {
    if (t_lock_depth > 0) {
        Py_DECREF(object);
        return;
    }
    try {
        std::lock_guard lock(g_pending.mutex);
        g_pending.objects.push_back(object);
    } catch (const std::bad_alloc&) {
        return; // out of memory: one object leaks rather than the process aborting
    }
    g_pending_dirty.store(true, std::memory_order_release);
}

void retain_holder(void* handle) noexcept {
    static_cast<ObjectHolder*>(handle)->count.fetch_add(1, std::memory_order_relaxed);
}

void release_holder(void* handle) noexcept {
    auto* holder = static_cast<ObjectHolder*>(handle);
    if (holder->count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        give_back(holder->object);
        delete holder;
    }
}

// The shutdown gate: engine threads count themselves in before taking the lock. Entering
// publishes the count before reading the flag, and closing publishes the flag before reading the
// count (both sequentially consistent), so either the entering thread sees the gate closed or
// the closing thread sees it inside. No lock on this path: it runs for every node.
std::atomic<bool> g_gate_closed{false};
std::atomic<std::size_t> g_threads_in_python{0};
std::atomic<unsigned long> g_finalizing_thread{0};
thread_local int t_gate_entries = 0;

bool gate_enter() {
    if (t_gate_entries > 0) {
        ++t_gate_entries;
        return true;
    }
    g_threads_in_python.fetch_add(1);
    if (g_gate_closed.load() && PyThread_get_thread_ident() != g_finalizing_thread.load()) {
        g_threads_in_python.fetch_sub(1);
        return false;
    }
    t_gate_entries = 1;
    return true;
}

void gate_leave() {
    if (--t_gate_entries == 0) {
        g_threads_in_python.fetch_sub(1);
    }
}

[[noreturn]] void park_forever() {
    // The process is exiting; this thread must not run Python again. It holds nothing and waits
    // for the process to end.
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

} // namespace

int& lock_depth() noexcept { return t_lock_depth; }

void apply_pending_decrefs() {
    if (!g_pending_dirty.exchange(false, std::memory_order_acq_rel)) {
        return;
    }
    std::vector<PyObject*> pending;
    {
        std::lock_guard lock(g_pending.mutex);
        pending.swap(g_pending.objects);
    }
    for (PyObject* object : pending) {
        Py_DECREF(object);
    }
}

void install_object_handle_ops() noexcept {
    set_object_handle_ops(ObjectHandleOps{retain_holder, release_holder});
}

GraphData wrap_object(PyObject* object) {
    auto* holder = new ObjectHolder{{1}, object}; // may throw: no reference taken yet
    Py_INCREF(object);
    return GraphData::from_object(ObjectHandle::adopt(holder));
}

PyObject* handle_object(void* handle) noexcept {
    return static_cast<ObjectHolder*>(handle)->object;
}

void close_gate_for_shutdown() {
    const std::size_t own_entries = t_gate_entries > 0 ? 1 : 0;
    g_finalizing_thread.store(PyThread_get_thread_ident());
    g_gate_closed.store(true);
    const int depth = std::exchange(t_lock_depth, 0);
    Py_BEGIN_ALLOW_THREADS
    // Shutdown only: a short poll keeps the per-node path free of any lock.
    while (g_threads_in_python.load() > own_entries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Py_END_ALLOW_THREADS
    t_lock_depth = depth;
}

NodeLock::NodeLock() {
    if (t_lock_depth > 0) {
        acquired_ = true;
        return;
    }
    if (!gate_enter()) {
        return;
    }
    state_ = PyGILState_Ensure();
    took_lock_ = true;
    acquired_ = true;
    ++t_lock_depth;
    apply_pending_decrefs();
}

NodeLock::~NodeLock() {
    if (took_lock_) {
        --t_lock_depth;
        PyGILState_Release(state_);
        gate_leave();
    }
}

ReleasedLock::ReleasedLock() : saved_depth_(std::exchange(t_lock_depth, 0)) {
    // A thread counted in by a node function is not inside Python while the engine runs.
    if (t_gate_entries > 0) {
        saved_gate_entries_ = std::exchange(t_gate_entries, 1);
        gate_leave();
    }
    saved_ = PyEval_SaveThread();
}

void ReleasedLock::reacquire() {
    if (saved_ == nullptr) {
        return;
    }
    if (!gate_enter()) {
        park_forever();
    }
    PyEval_RestoreThread(saved_);
    saved_ = nullptr;
    if (saved_gate_entries_ > 0) {
        t_gate_entries = saved_gate_entries_;
    } else {
        gate_leave();
    }
    t_lock_depth = saved_depth_;
    apply_pending_decrefs();
}

void ReleasedLock::with_lock(const std::function<void()>& action) {
    if (!gate_enter()) {
        return;
    }
    PyEval_RestoreThread(saved_);
    ++t_lock_depth;
    action();
    --t_lock_depth;
    saved_ = PyEval_SaveThread();
    gate_leave();
}

ReleasedLock::~ReleasedLock() { reacquire(); }

} // namespace vantorix::python
