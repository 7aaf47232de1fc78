#include "values/python_node.hpp"

#include "runtime/interpreter_lock.hpp"
#include "runtime/object_handles.hpp"
#include "runtime/object_lock.hpp"
#include "values/conversion.hpp"
#include "values/interrupt.hpp"
#include "values/node_failure.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace vantorix::python {

namespace {

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

// The name and value of one entry of a node function's argument dicts.
inline std::string_view name_of(const InputRef& input) { return input.name; }
inline const GraphData& value_of(const InputRef& input) { return *input.value; }
inline std::string_view name_of(const Context::Entry& entry) { return entry.first; }
inline const GraphData& value_of(const Context::Entry& entry) { return entry.second; }

// Sets `dict[name] = value` for every (name, value) of `entries`, in order; on failure reports
// it and returns false.
template <class Entries>
bool fill_dict(PyObject* dict, const Entries& entries, const KeyCache& keys,
               const char* failure_prefix) {
    std::size_t cursor = 0;
    for (const auto& entry : entries) {
        const std::string_view name = name_of(entry);
        const GraphData& value = value_of(entry);
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

// Every entry of the returned dict would be an output of the function, and the node would then
// keep the names it publishes; keeping those names straight away gives the same result (a later
// key with the same text still replaces an earlier one) without making the others.
class PythonNodeFunction final : public NodeFunction {
public:
    PythonNodeFunction(GraphData callable, const std::vector<std::string>& input_names)
        : callable_(std::move(callable)), input_keys_(input_names) {}

    void call(std::span<const InputRef> inputs, const Context& variant_params,
              PublishedOutputs& outputs) const override {
        NodeLock lock;
        if (!lock.acquired()) {
            throw InterpreterShutdown();
        }
        // Given back, with the lock held, once the outputs have been read: the returned object
        // first, then the two dicts.
        PyRef input_dict = PyRef::steal(PyDict_New());
        PyRef params_dict = PyRef::steal(PyDict_New());
        if (!input_dict || !params_dict) {
            PyErr_Clear();
            return;
        }
        if (!fill_dict(input_dict.get(), inputs, input_keys_, "Error setting input '") ||
            !fill_dict(params_dict.get(), variant_params, KeyCache(),
                       "Error setting variant param '")) {
            return;
        }
        PyObject* arguments[] = {input_dict.get(), params_dict.get()};
        PyRef returned = PyRef::steal(parking_on_thread_end(
            [&] { return PyObject_Vectorcall(callable(), arguments, 2, nullptr); }));
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
            report_call_failure();
            return;
        }
        if (!PyDict_Check(returned.get())) {
            report_not_a_dict(returned.get());
            return;
        }
        // Every entry whose key is a `str` readable as UTF-8, in the dict's own order. A dict
        // that other nodes change meanwhile (free-threaded interpreter) waits for the reading.
        const ObjectLock reading(returned.get());
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (outputs.size() > 0 && PyDict_Next(returned.get(), &position, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                continue;
            }
            // A compact ASCII str is its own UTF-8 text, which PyUnicode_AsUTF8AndSize would
            // return for it.
            Py_ssize_t size = PyUnicode_GET_LENGTH(key);
            const char* text = PyUnicode_IS_COMPACT_ASCII(key)
                                   ? static_cast<const char*>(PyUnicode_DATA(key))
                                   : PyUnicode_AsUTF8AndSize(key, &size);
            if (text == nullptr) {
                PyErr_Clear();
                continue;
            }
            const std::size_t index =
                outputs.find(std::string_view(text, static_cast<std::size_t>(size)));
            if (index != PublishedOutputs::npos) {
                outputs.set(index, wrap_object(value));
            }
        }
    }

    PyObject* callable() const noexcept { return handle_object(callable_.as_object()); }

private:
    GraphData callable_;
    KeyCache input_keys_;
};

} // namespace

PyObject* python_callable(const NodeFunction& function) noexcept {
    const auto* python = dynamic_cast<const PythonNodeFunction*>(&function);
    return python != nullptr ? python->callable() : nullptr;
}

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

NodeFunctionPtr create_python_node_function(PyRef callable,
                                            const std::vector<std::string>& input_names) {
    GraphData held = wrap_object(callable.get());
    return std::make_shared<const PythonNodeFunction>(std::move(held), input_names);
}

} // namespace vantorix::python
