// The interpreter lock, taken by node functions on whatever thread they run and released by the
// thread that runs the engine.
#pragma once

#include "runtime/py_ref.hpp"

#include <chrono>
#include <cstddef>
#include <functional>

namespace vantorix::python {

// Whether the calling thread is the one that runs Python's signal handlers: the process's first
// thread, where the interpreter runs them for `python` (and for a forked child, whose only
// thread is the one that forked).
bool runs_signal_handlers() noexcept;

// A worker thread that may run Python nodes gets its thread state while the thread that starts it
// holds the lock, as a thread that Python itself starts does: a thread state made without the
// lock could be made while the interpreter finalises, which the interpreter does not survive.
// `attach_worker` runs on the worker (its node's NodeLock takes the state), `detach_worker` last.
// Workers of a run on the main thread need neither: the interpreter cannot finalise meanwhile.
void attach_worker() noexcept;
void detach_worker() noexcept;

// Lock held: on a free-threaded interpreter, makes `count` thread states and deletes them again,
// so that as many workers then make theirs without stopping every other thread (see the
// definition). Nothing on an interpreter with a GIL.
void make_room_for_thread_states(std::size_t count) noexcept;

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
    // Runs `action`, which runs no Python code, with the lock held again, or without it once the
    // interpreter finalises (unless this is the finalising thread).
    void holding(const std::function<void()>& action);
    // Inside `holding`, on a free-threaded interpreter, once `action` has waited a while: lets
    // go of the thread state for a moment, so that a thread stopping the world (to make a thread
    // state, or to collect) is not kept waiting by an `action` that waits itself. Nothing
    // otherwise.
    void let_the_world_stop();
    // Runs `action` with the lock briefly held again, from inside the released section. Does
    // nothing once the interpreter finalises, unless this is the finalising thread.
    void with_lock(const std::function<void()>& action);
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;

private:
    PyThreadState* saved_ = nullptr;
    int saved_depth_ = 0;
    bool saved_finalizing_thread_ = false;
    bool holding_ = false; // inside `holding`, with the lock
    std::chrono::steady_clock::time_point holding_since_;
};

} // namespace vantorix::python
