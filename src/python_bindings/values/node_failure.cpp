#include "values/node_failure.hpp"

#include "dag/current_run.hpp"
#include "runtime/object_handles.hpp"
#include "runtime/python_version.hpp"
#include "values/conversion.hpp"
#include "values/interrupt.hpp"

#include <pthread.h>

#include <cstdio>

namespace vantorix::python {

namespace {

// The value under the current error as "<qualified type name>: <str(value)>". Clears the error.
PyRef describe_current_error() {
    const FetchedError error = FetchedError::take();
    PyRef name = error.type
                     ? PyRef::steal(PyObject_GetAttrString(error.type.get(), "__qualname__"))
                     : PyRef();
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        name = PyRef::steal(PyUnicode_FromString("<unknown>"));
    }
    PyRef text =
        error.value
            ? PyRef::steal(parking_on_thread_end([&] { return PyObject_Str(error.value.get()); }))
            : PyRef();
    if (!text) {
        PyErr_Clear();
        return PyRef::steal(PyUnicode_FromFormat("%U: <exception str() failed>", name.get()));
    }
    return PyRef::steal(PyUnicode_FromFormat("%U: %U", name.get(), text.get()));
}

// Tells a traced run that this node failed with the current Python error, which stays set.
void trace_current_error() {
    if (!node_failure_wanted()) {
        return;
    }
    FetchedError error = FetchedError::take();
    if (error.value && error.traceback) {
        PyException_SetTraceback(error.value.get(), error.traceback.get());
    }
    report_node_failure(error.value ? wrap_object(error.value.get()) : GraphData::none());
    std::move(error).restore();
}

// Tells a traced run that this node returned `returned`, which is not a dict.
void trace_not_a_dict(PyObject* returned) {
    if (!node_failure_wanted()) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "Python function did not return a dict (returned '%s')",
                 Py_TYPE(returned)->tp_name);
    trace_current_error();
    PyErr_Clear();
}

#ifdef Py_GIL_DISABLED
// Without the GIL, the tracebacks of two nodes failing at once would be interleaved within their
// lines; with it, thread switches fall only between the lines a stream flushes. Failures take
// turns to print. A hook that prints a nested run's failure on the same thread already has the
// turn, and a child forked while another thread had it starts with it free.
PyMutex g_printing{};
thread_local bool t_printing = false;

class PrintingTurn {
public:
    PrintingTurn() : nested_(t_printing) {
        if (!nested_) {
            [[maybe_unused]] static const int registered =
                pthread_atfork(nullptr, nullptr, [] { g_printing = PyMutex{}; });
            PyMutex_Lock(&g_printing);
            t_printing = true;
        }
    }
    ~PrintingTurn() {
        if (!nested_) {
            t_printing = false;
            PyMutex_Unlock(&g_printing);
        }
    }
    PrintingTurn(const PrintingTurn&) = delete;
    PrintingTurn& operator=(const PrintingTurn&) = delete;

private:
    bool nested_;
};
#else
struct PrintingTurn {};
#endif

// Prints the current error as the interpreter's own printing routine (PyErr_PrintEx) does, step
// for step, with one exception: PyErr_PrintEx would end the process, from whatever thread this
// is, when the hook raises SystemExit; here an exit or interrupt raised by the hook stops the run
// as one raised by the node does.
void print_failure() {
    [[maybe_unused]] const PrintingTurn turn;
    PyRef hook = PyRef::borrow(PySys_GetObject("excepthook"));
    if (!hook || hook.get() == Py_None) {
        // Says that sys.excepthook is missing or fails, then prints the error.
        parking_on_thread_end([] { PyErr_PrintEx(0); });
        return;
    }
    const FetchedError error = FetchedError::take();
    if (!error.type || !error.value) {
        return;
    }
    PyObject* traceback = error.traceback ? error.traceback.get() : Py_None;
    // Hooks that read the traceback from the value (traceback.print_exception(value)) find it.
    if (PyExceptionInstance_Check(error.value.get())) {
        PyException_SetTraceback(error.value.get(), traceback);
    }
    if (parking_on_thread_end([&] {
            return PySys_Audit("sys.excepthook", "OOOO", hook.get(), error.type.get(),
                               error.value.get(), traceback);
        }) < 0) {
        if (PyErr_ExceptionMatches(PyExc_RuntimeError)) {
            PyErr_Clear(); // an audit hook's way of vetoing the printing
            return;
        }
        write_audit_hook_failure();
    }
    PyObject* arguments[] = {error.type.get(), error.value.get(), traceback};
    if (PyRef::steal(parking_on_thread_end(
            [&] { return PyObject_Vectorcall(hook.get(), arguments, 3, nullptr); }))) {
        return;
    }
    if (PyErr_ExceptionMatches(PyExc_SystemExit) ||
        PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
        throw PythonInterrupt::take_current();
    }
    const FetchedError hook_error = FetchedError::take();
    std::fflush(stdout);
    parking_on_thread_end([&] {
        PySys_WriteStderr("Error in sys.excepthook:\n");
        PyErr_Display(hook_error.type ? hook_error.type.get() : Py_None,
                      hook_error.value ? hook_error.value.get() : Py_None,
                      hook_error.traceback.get());
        PySys_WriteStderr("\nOriginal exception was:\n");
        PyErr_Display(error.type.get(), error.value.get(), error.traceback.get());
    });
    PyErr_Clear();
}

} // namespace

void report_setting_failure(const char* prefix, std::string_view name) {
    trace_current_error();
    if (node_failure_quiet()) {
        PyErr_Clear();
        return;
    }
    PyRef error = describe_current_error();
    PyRef key = text_to_python(name);
    PyRef message =
        error && key
            ? PyRef::steal(PyUnicode_FromFormat("%s%U': %U\n", prefix, key.get(), error.get()))
            : PyRef();
    if (message) {
        write_stderr(message.get());
    }
    PyErr_Clear();
}

void report_call_failure() {
    trace_current_error();
    if (node_failure_quiet()) {
        PyErr_Clear();
        return;
    }
    print_failure();
}

void report_not_a_dict(PyObject* returned) {
    trace_not_a_dict(returned);
    if (node_failure_quiet()) {
        return;
    }
    PyRef message =
        PyRef::steal(PyUnicode_FromString("Error: Python function did not return a dict\n"));
    if (message) {
        write_stderr(message.get());
    }
    PyErr_Clear();
}

void write_stderr(PyObject* message) {
    FetchedError pending = FetchedError::take();
    PyRef sys = PyRef::steal(PyImport_ImportModule("sys"));
    PyRef stream = sys ? PyRef::steal(PyObject_GetAttrString(sys.get(), "stderr")) : PyRef();
    // Writing is Python code, and mostly blocking output that drops the lock.
    PyRef written = stream ? PyRef::steal(parking_on_thread_end([&] {
        return PyObject_CallMethod(stream.get(), "write", "O", message);
    }))
                           : PyRef();
    (void)written;
    PyErr_Clear();
    std::move(pending).restore();
}

} // namespace vantorix::python
