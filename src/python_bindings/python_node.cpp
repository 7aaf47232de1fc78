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

    // The key for `name`: borrowed from the cache, or made into `made`; null if it cannot be
    // made. The inputs arrive in the order the names were cached, so the search starts where
    // the previous one ended.
    PyObject* key(std::string_view name, std::size_t& cursor, PyRef& made) const {
        std::size_t i = cursor;
        for (std::size_t step = 0; step < keys_.size(); ++step, ++i) {
            if (i == keys_.size()) {
                i = 0;
            }
            if (keys_[i].first == name) {
                cursor = i + 1;
                return handle_object(keys_[i].second.as_object());
            }
        }
        made = text_to_python(name);
        return made.get();
    }

private:
    std::vector<std::pair<std::string, GraphData>> keys_;
};

// Sets `dict[name] = value` for every (name, value) of `entries`, in order; on failure reports
// it and returns false.
template <class Entries>
bool fill_dict(PyObject* dict, const Entries& entries, const KeyCache& keys,
               const char* failure_prefix) {
    std::size_t cursor = 0;
    for (const auto& [name, value] : entries) {
        PyRef made_key;
        PyObject* key = keys.key(name, cursor, made_key);
        // Python values, nearly all inputs, go in as they are; others are converted.
        PyRef converted;
        PyObject* item = nullptr;
        if (key != nullptr) {
            if (value.kind() == GraphData::Kind::PyObject) {
                item = handle_object(value.as_object());
            } else {
                converted = graph_data_to_python(value);
                item = converted.get();
            }
        }
        if (item == nullptr || PyDict_SetItem(dict, key, item) < 0) {
            report_setting_failure(failure_prefix, name);
            return false;
        }
    }
    return true;
}

// Calls `visit(text, value)` for each entry of `dict` whose key is a `str` readable as UTF-8, in
// the dict's own order; other entries are skipped.
template <class Visit> void for_each_text_key(PyObject* dict, Visit&& visit) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            continue;
        }
        // A compact ASCII str is its own UTF-8 text, which is what PyUnicode_AsUTF8AndSize
        // would return for it.
        if (PyUnicode_IS_COMPACT_ASCII(key)) {
            visit(std::string_view(static_cast<const char*>(PyUnicode_DATA(key)),
                                   static_cast<std::size_t>(PyUnicode_GET_LENGTH(key))),
                  value);
            continue;
        }
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &size);
        if (text == nullptr) {
            PyErr_Clear();
            continue;
        }
        visit(std::string_view(text, static_cast<std::size_t>(size)), value);
    }
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
        Context outputs;
        CallRefs refs;
        if (PyObject* returned = call(inputs, variant_params, refs)) {
            outputs.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(returned)));
            for_each_text_key(returned, [&outputs](std::string_view text, PyObject* value) {
                outputs.insert(std::string(text), wrap_object(value));
            });
        }
        return outputs;
    }

    // Every entry of the returned dict would become an output and the node would then keep the
    // names it publishes; keeping those names straight away gives the same result (a later key
    // with the same text still replaces an earlier one) without making the other outputs.
    void call_published(std::span<const InputRef> inputs, const Context& variant_params,
                        PublishedOutputs& outputs) const override {
        NodeLock lock;
        if (!lock.acquired()) {
            throw InterpreterShutdown();
        }
        struct Entry {
            std::string_view first;
            const GraphData& second;
        };
        struct Entries {
            std::span<const InputRef> refs;
            struct Iterator {
                const InputRef* ref;
                Entry operator*() const { return Entry{ref->name, *ref->value}; }
                Iterator& operator++() {
                    ++ref;
                    return *this;
                }
                bool operator!=(const Iterator& other) const { return ref != other.ref; }
            };
            Iterator begin() const { return {refs.data()}; }
            Iterator end() const { return {refs.data() + refs.size()}; }
        };
        CallRefs refs;
        PyObject* returned = call(Entries{inputs}, variant_params, refs);
        if (returned == nullptr || outputs.size() == 0) {
            return;
        }
        for_each_text_key(returned, [&outputs](std::string_view text, PyObject* value) {
            const std::size_t index = outputs.find(text);
            if (index != PublishedOutputs::npos) {
                outputs.set(index, wrap_object(value));
            }
        });
    }

    PyObject* callable() const noexcept { return handle_object(callable_.as_object()); }

private:
    // The references one call makes, given back when the call's outputs have been read: the
    // returned object first, then the two dicts.
    struct CallRefs {
        PyRef input_dict;
        PyRef params_dict;
        PyRef returned;
    };

    // Calls the callable with fresh dicts of `inputs` and of `variant_params`. Returns the dict
    // it returned (borrowed from `refs`), or null after reporting a failure. Lock held.
    template <class Inputs>
    PyObject* call(const Inputs& inputs, const Context& variant_params, CallRefs& refs) const {
        refs.input_dict = PyRef::steal(PyDict_New());
        refs.params_dict = PyRef::steal(PyDict_New());
        PyRef& input_dict = refs.input_dict;
        PyRef& params_dict = refs.params_dict;
        if (!input_dict || !params_dict) {
            PyErr_Clear();
            return nullptr;
        }
        if (!fill_dict(input_dict.get(), inputs, input_keys_, "Error setting input '") ||
            !fill_dict(params_dict.get(), variant_params, KeyCache(),
                       "Error setting variant param '")) {
            return nullptr;
        }
        PyObject* arguments[] = {input_dict.get(), params_dict.get()};
        PyRef& returned = refs.returned;
        returned = PyRef::steal(parking_on_thread_end([&] {
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
            return nullptr;
        }
        if (!PyDict_Check(returned.get())) {
            trace_not_a_dict(returned.get());
            PyRef message = PyRef::steal(
                PyUnicode_FromString("Error: Python function did not return a dict\n"));
            if (message) {
                write_stderr(message.get());
            }
            PyErr_Clear();
            return nullptr;
        }
        return returned.get();
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
