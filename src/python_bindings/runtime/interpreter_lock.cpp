#include "runtime/interpreter_lock.hpp"

#include "runtime/object_handles.hpp"
#include "runtime/python_version.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <utility>
#include <vector>

namespace vantorix::python {

namespace {

// Set while the thread that finalises the interpreter runs the engine (a finaliser called
// `execute`): it alone may still take the lock.
thread_local bool t_finalizing_thread = false;

// Interpreter exit. CPython ends a thread that takes the lock once finalisation has begun
// (thread_end.hpp), and would crash one that takes it after finalisation has freed the thread
// states; so the module asks first. Exit handlers still run before this point: until then every
// thread takes the lock as usual.
bool may_take_lock() noexcept { return t_finalizing_thread || !interpreter_finalizing(); }

// The thread state that `attach_worker` made for this worker thread, until its node takes it.
thread_local PyThreadState* t_worker_state = nullptr;

} // namespace

// The system call rather than gettid(), which only glibc 2.30 and newer have.
bool runs_signal_handlers() noexcept { return syscall(SYS_gettid) == getpid(); }

void attach_worker() noexcept {
    if (!interpreter_finalizing()) {
        t_worker_state = PyThreadState_New(PyInterpreterState_Main());
    }
}

void detach_worker() noexcept {
    // A worker whose node never took the lock (a node that is not Python's) still owns its state.
    if (PyThreadState* state = std::exchange(t_worker_state, nullptr);
        state != nullptr && may_take_lock()) {
        parking_on_thread_end([state] {
            PyEval_RestoreThread(state);
            PyThreadState_Clear(state);
            PyThreadState_DeleteCurrent();
        });
    }
}

void make_room_for_thread_states(std::size_t count) noexcept {
#ifdef Py_GIL_DISABLED
    // Making a thread state stops the world when CPython's table of them is full, and the first
    // one besides the main thread's stops it to make objects of deferred reference counts
    // immortal. Here, where this thread holds its state, that waits for nobody. On a worker it
    // waits for the starting thread to let go of its state, which lets an exit free the state
    // the worker is still making; and two workers making the first ones race inside CPython,
    // which writes the flag of that immortalisation plainly. Deleted states leave their places
    // in the table free for the workers.
    PyThreadState* const own = PyThreadState_GetUnchecked();
    if (own == nullptr) {
        return; // the interpreter finalises: `holding` runs its action without the lock
    }
    std::vector<PyThreadState*> made;
    made.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (PyThreadState* state = PyThreadState_New(PyInterpreterState_Main())) {
            made.push_back(state);
        }
    }
    for (PyThreadState* state : made) {
        // Clearing a thread state also empties the free lists of the current one and turns them
        // off for good, so each is cleared and deleted as the current one. Cleared, it is gone
        // before this thread can be stopped: an exit would clear it again.
        parking_on_thread_end([&] {
            PyThreadState_Swap(state);
            PyThreadState_Clear(state);
            PyThreadState_DeleteCurrent();
            PyEval_RestoreThread(own);
        });
    }
#else
    static_cast<void>(count);
#endif
}

NodeLock::NodeLock() {
    if (lock_depth() > 0) {
        acquired_ = true;
        return;
    }
    if (!may_take_lock()) {
        return;
    }
    if (PyThreadState* state = std::exchange(t_worker_state, nullptr)) {
        // Its count of PyGILState_Ensure calls is one, so the release below deletes it.
        parking_on_thread_end([state] { PyEval_RestoreThread(state); });
        state_ = PyGILState_UNLOCKED;
    } else {
        state_ = parking_on_thread_end(PyGILState_Ensure);
    }
    took_lock_ = true;
    acquired_ = true;
    ++lock_depth();
    apply_released_references();
}

NodeLock::~NodeLock() {
    if (!took_lock_) {
        return;
    }
    --lock_depth();
    // Giving back a thread state that the lock created clears it, which may run finalisers.
    parking_on_thread_end([this] { PyGILState_Release(state_); });
}

ReleasedLock::ReleasedLock()
    : saved_depth_(std::exchange(lock_depth(), 0)),
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
    lock_depth() = saved_depth_;
    t_finalizing_thread = saved_finalizing_thread_;
    apply_released_references();
}

void ReleasedLock::holding(const std::function<void()>& action) {
    if (!may_take_lock()) {
        action();
        return;
    }
    parking_on_thread_end([this] { PyEval_RestoreThread(saved_); });
    struct Release {
        ReleasedLock& lock;
        ~Release() {
            lock.holding_ = false;
            lock.saved_ = PyEval_SaveThread();
        }
    } release{*this};
    holding_ = true;
    holding_since_ = std::chrono::steady_clock::now();
    action();
}

void ReleasedLock::let_the_world_stop() {
#ifdef Py_GIL_DISABLED
    // Held, the thread state keeps the interpreter from finalising while the workers make
    // theirs: finalisation stops the world first, then frees every thread state but its own,
    // including one that a worker is still setting up. With room made for the workers' states
    // (make_room_for_thread_states), making one stops the world only when other threads took
    // that room meanwhile, so only a worker that has not attached within the grace period is
    // taken to wait for that.
    constexpr auto grace = std::chrono::milliseconds(50);
    if (holding_ && std::chrono::steady_clock::now() - holding_since_ >= grace) {
        // A thread stopping the world looks every millisecond for thread states let go of;
        // taking this one back at once would slip through between two looks.
        saved_ = PyEval_SaveThread();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        parking_on_thread_end([this] { PyEval_RestoreThread(saved_); });
    }
#endif
}

void ReleasedLock::with_lock(const std::function<void()>& action) {
    if (!may_take_lock()) {
        return;
    }
    parking_on_thread_end([this] { PyEval_RestoreThread(saved_); });
    ++lock_depth();
    try {
        parking_on_thread_end(action);
    } catch (...) {
        --lock_depth();
        saved_ = PyEval_SaveThread();
        throw;
    }
    --lock_depth();
    saved_ = PyEval_SaveThread();
}

} // namespace vantorix::python
