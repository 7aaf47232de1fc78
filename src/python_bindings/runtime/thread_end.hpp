// Threads that the interpreter ends while it finalises.
//
// Once the interpreter has begun to finalise, CPython ends every thread but the finalising one
// that tries to take the interpreter lock, by unwinding its stack (pthread_exit). Unwinding on
// through this module's frames would run destructors that touch Python without the lock, or
// abort the process where it leaves a noexcept frame. So every step that may take the lock, or
// run Python code (which may drop the lock and take it back), runs inside
// `parking_on_thread_end`: a thread ended there stays where it is for good instead. It holds no
// lock of the module's, and the process exits without waiting for it.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cxxabi.h>

#include <utility>

namespace vantorix::python {

// Blocks the calling thread, with every signal blocked, until the process ends.
[[noreturn]] inline void park_thread_for_good() noexcept {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) {
        pause();
    }
}

// Runs `step` and returns what it returns; parks the thread if the interpreter ends it there.
// (The unwinding carries no object: UBSan's null check would flag the catch binding to it.)
template <class Step>
[[gnu::no_sanitize("null")]] decltype(auto) parking_on_thread_end(Step&& step) {
    try {
        return std::forward<Step>(step)();
    } catch (abi::__forced_unwind&) {
        park_thread_for_good();
    }
}

} // namespace vantorix::python
