#include "python_node.hpp"

#include "conversion.hpp"
#include "interpreter_lock.hpp"
#include "thread_end.hpp"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

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

// Writes "<prefix><name>': <error>\n" for a failure to fill one of the argument dicts.
void report_setting_failure(const char* prefix, std::string_view name) {
    trace_current_error();
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

// The `str` objects for the names a node's function receives, made once when the node is added.
// Reusing them saves decoding and hashing each name on every call; the dicts stay fresh.
class KeyCache {
public:
    KeyCache() = default;
    explicit KeyCache(const std::vector<std::string>& names) {
        keys_.reserve(names.size());
        for (const std::string& name : names) {
            PyRef key = text_to_python(name);
            if (!key) {
                PyErr_Clear();
                continue;
            }
            // Not interned: from 3.12 on interned strings are never freed, so every name of
            // every graph ever built would stay in memory.
            keys_.emplace_back(name, wrap_object(key.get()));
        }
    }

    // A new reference to the key for `name`. The inputs arrive in the order the names were
    // cached, so the search starts where the previous one ended.
    PyRef key(std::string_view name, std::size_t& cursor) const {
        for (std::size_t step = 0; step < keys_.size(); ++step) {
            const std::size_t i = (cursor + step) % keys_.size();
            if (keys_[i].first == name) {
                cursor = i + 1;
                return PyRef::borrow(handle_object(keys_[i].second.as_object()));
            }
        }
        return text_to_python(name);
    }

private:
    std::vector<std::pair<std::string, GraphData>> keys_;
};

// Fills `dict` from `context`; on failure reports it and returns false.
bool fill_dict(PyObject* dict, const Context& context, const KeyCache& keys,
               const char* failure_prefix) {
    std::size_t cursor = 0;
    for (const auto& [name, value] : context) {
        PyRef key = keys.key(name, cursor);
        PyRef item = key ? graph_data_to_python(value) : PyRef();
        if (!item || PyDict_SetItem(dict, key.get(), item.get()) < 0) {
            report_setting_failure(failure_prefix, name);
            return false;
        }
    }
    return true;
}

} // namespace

// The exception is held as engine values, so it can cross threads.
PythonInterrupt PythonInterrupt::take_current() {
    const FetchedError error = FetchedError::take();
    if (error.traceback && error.value) {
        PyException_SetTraceback(error.value.get(), error.traceback.get());
    }
    auto hold = [](const PyRef& object) {
        return object ? wrap_object(object.get()) : GraphData::none();
    };
    return PythonInterrupt(hold(error.type), hold(error.value), hold(error.traceback));
}

namespace {

// Reports an exception raised by an audit hook on "sys.excepthook", as the interpreter does.
void write_audit_hook_failure() {
#if PY_VERSION_HEX >= 0x030D0000
    PyErr_FormatUnraisable("Exception ignored in audit hook");
#else
    _PyErr_WriteUnraisableMsg("in audit hook", nullptr);
#endif
}

// Prints the current error as the interpreter's own printing routine (PyErr_PrintEx) does, step
// for step, with one exception: PyErr_PrintEx would end the process, from whatever thread this
// is, when the hook raises SystemExit; here an exit or interrupt raised by the hook stops the run
// as one raised by the node does.
void print_failure() {
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

class PythonNodeFunction final : public NodeFunction {
public:
    PythonNodeFunction(GraphData callable, const std::vector<std::string>& input_names)
        : callable_(std::move(callable)), input_keys_(input_names) {}

    Context operator()(const Context& inputs, const Context& variant_params) const override {
        NodeLock lock;
        if (!lock.acquired()) {
            throw InterpreterShutdown();
        }
        return call(inputs, variant_params);
    }

    PyObject* callable() const noexcept { return handle_object(callable_.as_object()); }

private:
    Context call(const Context& inputs, const Context& variant_params) const {
        PyRef input_dict = PyRef::steal(PyDict_New());
        PyRef params_dict = PyRef::steal(PyDict_New());
        if (!input_dict || !params_dict) {
            PyErr_Clear();
            return Context();
        }
        if (!fill_dict(input_dict.get(), inputs, input_keys_, "Error setting input '") ||
            !fill_dict(params_dict.get(), variant_params, KeyCache(),
                       "Error setting variant param '")) {
            return Context();
        }
        PyObject* arguments[] = {input_dict.get(), params_dict.get()};
        PyRef returned = PyRef::steal(parking_on_thread_end([&] {
            return PyObject_Vectorcall(handle_object(callable_.as_object()), arguments, 2,
                                       nullptr);
        }));
        if (!returned) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_SystemError,
                                "attempted to fetch exception but none was set");
            }
            // These two end the process or the run; printing them would act on them from
            // whatever thread this is. The run stops and the caller re-raises them.
            if (PyErr_ExceptionMatches(PyExc_SystemExit) ||
                PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) {
                throw PythonInterrupt::take_current();
            }
            trace_current_error();
            print_failure();
            return Context();
        }
        if (!PyDict_Check(returned.get())) {
            trace_not_a_dict(returned.get());
            PyRef message = PyRef::steal(
                PyUnicode_FromString("Error: Python function did not return a dict\n"));
            if (message) {
                write_stderr(message.get());
            }
            PyErr_Clear();
            return Context();
        }
        Context outputs;
        outputs.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(returned.get())));
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(returned.get(), &position, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                continue;
            }
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(key, &size);
            if (text == nullptr) {
                PyErr_Clear();
                continue;
            }
            outputs.insert(std::string(text, static_cast<std::size_t>(size)), wrap_object(value));
        }
        return outputs;
    }

    GraphData callable_;
    KeyCache input_keys_;
};

} // namespace

int CallableVisitor::hold(const NodeFunctionPtr& function) noexcept {
    if (function.get() == current_) {
        ++held_;
        return 0;
    }
    if (dynamic_cast<const PythonNodeFunction*>(function.get()) == nullptr) {
        return 0;
    }
    if (const int stop = finish()) {
        return stop;
    }
    current_ = function.get();
    owners_ = function.use_count();
    held_ = 1;
    return 0;
}

int CallableVisitor::finish() noexcept {
    const auto* function = static_cast<const PythonNodeFunction*>(current_);
    const bool owned = function != nullptr && held_ == owners_;
    current_ = nullptr;
    held_ = 0;
    return owned ? visit_(function->callable(), arg_) : 0;
}

void PythonInterrupt::restore() const {
    auto take = [](const GraphData& held) -> PyObject* {
        if (held.kind() != GraphData::Kind::PyObject) {
            return nullptr;
        }
        PyObject* object = handle_object(held.as_object());
        Py_INCREF(object);
        return object;
    };
    PyErr_Restore(take(type_), take(value_), take(traceback_));
}

NodeFunctionPtr create_python_node_function(PyRef callable,
                                            const std::vector<std::string>& input_names) {
    GraphData held = wrap_object(callable.get());
    return std::make_shared<const PythonNodeFunction>(std::move(held), input_names);
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
