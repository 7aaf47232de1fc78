#include "calls/released_run.hpp"

#include "runtime/module_state.hpp"
#include "runtime/object_handles.hpp"
#include "runtime/python_version.hpp"
#include "runtime/stack_room.hpp"
#include "values/conversion.hpp"
#include "values/interrupt.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <optional>

namespace vantorix::python {

namespace {

// Runs nested in runs stop here even when the recursion limit is higher: each level may hold a
// thread of its own.
constexpr int kMostNestedRuns = 1000;

// Raises the error a node failed with, noting which node it was.
void raise_node_failure(const NodeTrace& node) {
    const GraphData& error = node.error;
    PyObject* exception =
        error.kind() == GraphData::Kind::PyObject ? handle_object(error.as_object()) : nullptr;
    if (exception == nullptr || !PyExceptionInstance_Check(exception)) {
        PyErr_SetString(PyExc_RuntimeError, "a node failed without an exception");
        return;
    }
    const Node& failed = *node.node;
    const auto id = static_cast<unsigned long long>(failed.id);
    PyRef label = failed.label ? text_to_python(*failed.label) : PyRef();
    PyRef note = PyRef::steal(label ? PyUnicode_FromFormat("in node %R (id %llu)", label.get(), id)
                                    : PyUnicode_FromFormat("in node %llu", id));
    if (note) {
        add_exception_note(exception, note.get());
    }
    // Raised with the traceback it had in the node, which the frames of the caller extend.
    PyErr_Restore(new_reference(reinterpret_cast<PyObject*>(Py_TYPE(exception))),
                  new_reference(exception), PyException_GetTraceback(exception));
}

} // namespace

bool check_room_for_nested_run(const char* full_name) {
    // A node that runs its own DAG nests one run in another. Each level takes C stack on its
    // thread, and a level that starts on a worker holds that thread too; the interpreter's own
    // recursion limit counts neither across threads, so the depth of runs is counted here.
    const auto limit = static_cast<std::size_t>(std::min(Py_GetRecursionLimit(), kMostNestedRuns));
    if (run_depth() >= limit || !enough_stack_for_nested_run()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded in %s", full_name);
        return false;
    }
    return true;
}

void call_with_lock(ReleasedLock& released, const std::function<bool()>& call) {
    std::optional<PythonInterrupt> raised;
    released.with_lock([&] {
        if (!call()) {
            raised.emplace(PythonInterrupt::take_current());
        }
    });
    if (raised) {
        throw std::move(*raised);
    }
}

bool run_released(RunOptions& options, const std::function<void(ReleasedLock&)>& engine_run) {
    std::exception_ptr stopped;
#ifdef Py_GIL_DISABLED
    // Once: the first thread state besides the main thread's is made here, not by two workers
    // at once (see make_room_for_thread_states).
    static std::atomic<bool> made_a_thread_state{false};
    if (options.parallel && !made_a_thread_state.exchange(true, std::memory_order_relaxed)) {
        make_room_for_thread_states(1);
    }
#endif
    {
        ReleasedLock released;
        // Only the main thread runs Python's signal handlers, so only a wait there wakes: when a
        // signal handler has run on it (Ctrl-C interrupts the wait), and every 100 ms for an
        // interrupt that comes without a signal (_thread.interrupt_main). It takes the lock
        // briefly to run the handlers. Waits on other threads sleep until the batch is done.
        // The interpreter finalises on the main thread: while the main thread runs a DAG it
        // cannot begin, so only runs on other threads need their workers' thread states made
        // under the lock (which costs the overlap of starting workers with running nodes).
        if (!runs_signal_handlers()) {
            options.workers.around_start = [&released](std::size_t workers,
                                                       const std::function<void()>& start) {
                released.holding([&] {
                    make_room_for_thread_states(workers);
                    start();
                });
            };
            options.workers.attach = attach_worker;
            options.workers.detach = detach_worker;
#ifdef Py_GIL_DISABLED
            // A worker making its thread state may stop the world, which waits for this thread.
            options.workers.while_attaching = [&released] { released.let_the_world_stop(); };
#endif
        } else {
            options.workers.tick = std::chrono::milliseconds(100);
            options.workers.on_wait = [&released] {
                call_with_lock(released, [] { return PyErr_CheckSignals() == 0; });
            };
        }
        try {
            engine_run(released);
        } catch (const ExecutionInterrupt&) {
            stopped = std::current_exception();
        } catch (const ExecutionError&) {
            stopped = std::current_exception();
        }
        released.reacquire();
    }
    if (!stopped) {
        return true;
    }
    try {
        std::rethrow_exception(stopped);
    } catch (const PythonInterrupt& interrupt) {
        interrupt.restore();
    } catch (const NodeFailed& failed) {
        raise_node_failure(failed.node);
    } catch (const InterpreterShutdown&) {
        PyErr_SetString(PyExc_RuntimeError,
                        "cannot run Python nodes while the interpreter is shutting down");
    } catch (const ExecutionError& error) {
        raise_internal_failure(error.what());
    }
    return false;
}

} // namespace vantorix::python
