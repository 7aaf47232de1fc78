#include "interpreter_lock.hpp"

#include "holder_blocks.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

namespace vantorix::python {

namespace {

thread_local int t_lock_depth = 0;
// Set while the thread that finalises the interpreter runs the engine (a finaliser called
// `execute`): it alone may still take the lock.
thread_local bool t_finalizing_thread = false;

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
static_assert(sizeof(ObjectHolder) <= kHolderBlockSize &&
              alignof(ObjectHolder) <= kHolderBlockAlignment);

void give_back(PyObject* object) {
    if (t_lock_depth > 0) {
        drop_reference(object);
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
        holder->~ObjectHolder();
        give_holder_block(holder);
    }
}

// Interpreter exit. CPython ends a thread that takes the lock once finalisation has begun
// (thread_end.hpp), and would crash one that takes it after finalisation has freed the thread
// states; so the module asks first. Exit handlers still run before this point: until then every
// thread takes the lock as usual. Both flags stay set once the interpreter has finalised.
bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0 || Py_IsInitialized() == 0;
#else
    return _Py_IsFinalizing() != 0 || Py_IsInitialized() == 0;
#endif
}

bool may_take_lock() noexcept { return t_finalizing_thread || !interpreter_finalizing(); }

} // namespace

[[noreturn]] void park_thread_for_good() noexcept {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) {
        pause();
    }
}

int& lock_depth() noexcept { return t_lock_depth; }

void apply_pending_decrefs() {
    // A plain load first: this runs for every node, and the queue is nearly always empty.
    if (!g_pending_dirty.load(std::memory_order_relaxed) ||
        !g_pending_dirty.exchange(false, std::memory_order_acq_rel)) {
        return;
    }
    std::vector<PyObject*> pending;
    {
        std::lock_guard lock(g_pending.mutex);
        pending.swap(g_pending.objects);
    }
    for (PyObject* object : pending) {
        drop_reference(object);
    }
}

void install_object_handle_ops() noexcept {
    set_object_handle_ops(ObjectHandleOps{retain_holder, release_holder});
}

GraphData wrap_object(PyObject* object) {
    // May throw: no reference taken yet.
    auto* holder = new (take_holder_block()) ObjectHolder{{1}, object};
    Py_INCREF(object);
    return GraphData::from_object(ObjectHandle::adopt(holder));
}

PyObject* handle_object(void* handle) noexcept {
    return static_cast<ObjectHolder*>(handle)->object;
}

int visit_sole_objects(const GraphData& value, visitproc visit, void* arg) {
    if (value.kind() == GraphData::Kind::Map) {
        return visit_sole_objects(value.as_map(), visit, arg);
    }
    if (value.kind() == GraphData::Kind::PyObject) {
        auto* holder = static_cast<ObjectHolder*>(value.as_object());
        if (holder->count.load(std::memory_order_acquire) == 1) {
            Py_VISIT(holder->object);
        }
    }
    return 0;
}

int visit_sole_objects(const Context& context, visitproc visit, void* arg) {
    for (const auto& [name, value] : context) {
        if (const int stop = visit_sole_objects(value, visit, arg)) {
            return stop;
        }
    }
    return 0;
}

void install_fork_handlers() noexcept {
    // The forking thread holds the queue's mutex across the fork, so the child's copy is
    // consistent and unlocked: a thread that held it in the parent does not exist in the child.
    pthread_atfork([] { g_pending.mutex.lock(); }, [] { g_pending.mutex.unlock(); },
                   [] { g_pending.mutex.unlock(); });
}

bool runs_signal_handlers() noexcept { return gettid() == getpid(); }

NodeLock::NodeLock() {
    if (t_lock_depth > 0) {
        acquired_ = true;
        return;
    }
    if (!may_take_lock()) {
        return;
    }
    state_ = parking_on_thread_end(PyGILState_Ensure);
    took_lock_ = true;
    acquired_ = true;
    ++t_lock_depth;
    apply_pending_decrefs();
}

NodeLock::~NodeLock() {
    if (!took_lock_) {
        return;
    }
    --t_lock_depth;
    // Giving back a thread state that the lock created clears it, which may run finalisers.
    parking_on_thread_end([this] { PyGILState_Release(state_); });
}

ReleasedLock::ReleasedLock()
    : saved_depth_(std::exchange(t_lock_depth, 0)),
      // This thread holds the lock, so if the interpreter finalises, this is the finalising one.
      saved_finalizing_thread_(
          std::exchange(t_finalizing_thread, t_finalizing_thread || interpreter_finalizing())) {
    saved_ = PyEval_SaveThread();
}

void ReleasedLock::reacquire() {
    if (saved_ == nullptr) {
        return;
    }
    if (!may_take_lock()) {
        park_thread_for_good();
    }
    parking_on_thread_end([this] { PyEval_RestoreThread(saved_); });
    saved_ = nullptr;
    t_lock_depth = saved_depth_;
    t_finalizing_thread = saved_finalizing_thread_;
    apply_pending_decrefs();
}

void ReleasedLock::with_lock(const std::function<void()>& action) {
    if (!may_take_lock()) {
        return;
    }
    parking_on_thread_end([this] { PyEval_RestoreThread(saved_); });
    ++t_lock_depth;
    try {
        parking_on_thread_end(action);
    } catch (...) {
        --t_lock_depth;
        saved_ = PyEval_SaveThread();
        throw;
    }
    --t_lock_depth;
    saved_ = PyEval_SaveThread();
}

} // namespace vantorix::python
