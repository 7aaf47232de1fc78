#include "interpreter_lock.hpp"

#include <pythread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace vantorix::python {

namespace {

thread_local int t_lock_depth = 0;

// References given back by threads without the interpreter lock.
std::mutex g_pending_mutex;
std::vector<PyObject*> g_pending_decrefs;
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
    {
        std::lock_guard lock(g_pending_mutex);
        g_pending_decrefs.push_back(object);
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

// The shutdown gate: engine threads count themselves in before taking the lock.
std::mutex g_gate_mutex;
std::condition_variable g_gate_idle;
bool g_gate_closed = false;
std::atomic<bool> g_gate_closed_flag{false};
unsigned long g_finalizing_thread = 0;
std::size_t g_threads_in_python = 0;
thread_local int t_gate_entries = 0;

bool gate_enter() {
    if (t_gate_entries > 0) {
        ++t_gate_entries;
        return true;
    }
    std::lock_guard lock(g_gate_mutex);
    if (g_gate_closed && PyThread_get_thread_ident() != g_finalizing_thread) {
        return false;
    }
    ++g_threads_in_python;
    t_gate_entries = 1;
    return true;
}

void gate_leave() {
    if (--t_gate_entries > 0) {
        return;
    }
    std::lock_guard lock(g_gate_mutex);
    if (--g_threads_in_python == 0) {
        g_gate_idle.notify_all();
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
        std::lock_guard lock(g_pending_mutex);
        pending.swap(g_pending_decrefs);
    }
    for (PyObject* object : pending) {
        Py_DECREF(object);
    }
}

void install_object_handle_ops() noexcept {
    set_object_handle_ops(ObjectHandleOps{retain_holder, release_holder});
}

GraphData wrap_object(PyObject* object) {
    Py_INCREF(object);
    return GraphData::from_object(ObjectHandle::adopt(new ObjectHolder{{1}, object}));
}

PyObject* handle_object(void* handle) noexcept { return static_cast<ObjectHolder*>(handle)->object; }

void close_gate_for_shutdown() {
    int own_entries;
    {
        std::lock_guard lock(g_gate_mutex);
        g_gate_closed = true;
        g_finalizing_thread = PyThread_get_thread_ident();
        own_entries = t_gate_entries > 0 ? 1 : 0;
    }
    g_gate_closed_flag.store(true, std::memory_order_release);
    const int depth = std::exchange(t_lock_depth, 0);
    Py_BEGIN_ALLOW_THREADS;
    {
        std::unique_lock lock(g_gate_mutex);
        g_gate_idle.wait(lock, [&] { return g_threads_in_python <= std::size_t(own_entries); });
    }
    Py_END_ALLOW_THREADS;
    t_lock_depth = depth;
}

bool gate_closed() noexcept { return g_gate_closed_flag.load(std::memory_order_acquire); }

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
