#include "values/cache_session.hpp"

#include "runtime/interpreter_lock.hpp"
#include "runtime/object_handles.hpp"
#include "values/conversion.hpp"
#include "values/interrupt.hpp"
#include "values/python_node.hpp"

namespace vantorix::python {

namespace {

// The mapping as a tuple of (str, str) pairs, in mapping order.
PyRef pairs_of(const VariableMapping& mapping) {
    PyRef pairs = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(mapping.size())));
    Py_ssize_t index = 0;
    for (const auto [first, second] : mapping) {
        if (!pairs) {
            break;
        }
        PyRef left = text_to_python(first);
        PyRef right = text_to_python(second);
        PyRef pair =
            left && right ? PyRef::steal(PyTuple_Pack(2, left.get(), right.get())) : PyRef();
        if (!pair) {
            return PyRef();
        }
        PyTuple_SET_ITEM(pairs.get(), index++, pair.release());
    }
    return pairs;
}

// A new reference to the object a value is, or to its Python form.
PyRef object_of(const GraphData& value) {
    return value.kind() == GraphData::Kind::PyObject
               ? PyRef::borrow(handle_object(value.as_object()))
               : graph_data_to_python(value);
}

PyRef method_of(PyObject* object, const char* name) {
    return PyRef::steal(PyObject_GetAttrString(object, name));
}

// Calls the session's `method` with the lock held; what it raises stops the run.
PyRef call_session(PyObject* method, PyObject* const* arguments, std::size_t count) {
    PyRef returned = PyRef::steal(parking_on_thread_end(
        [&] { return PyObject_Vectorcall(method, arguments, count, nullptr); }));
    if (!returned) {
        throw PythonInterrupt::take_current();
    }
    return returned;
}

} // namespace

std::unique_ptr<CacheSession> CacheSession::open(PyObject* cache, const Dag& dag) {
    PyRef module = PyRef::steal(PyImport_ImportModule("vantorix_cache"));
    PyRef as_cache = module ? method_of(module.get(), "as_cache") : PyRef();
    PyRef made = as_cache ? PyRef::steal(PyObject_CallOneArg(as_cache.get(), cache)) : PyRef();
    if (!made) {
        if (as_cache && PyErr_ExceptionMatches(PyExc_TypeError)) {
            FetchedError error = FetchedError::take();
            PyErr_Format(PyExc_TypeError, "argument 'cache': %S", error.value.get());
        }
        return nullptr;
    }
    PyRef session = PyRef::steal(PyObject_CallMethod(made.get(), "session", nullptr));
    if (!session) {
        return nullptr;
    }
    std::unique_ptr<CacheSession> opened(new CacheSession(dag, std::move(session)));
    return opened->prepare() ? std::move(opened) : nullptr;
}

bool CacheSession::prepare() {
    lookup_ = method_of(session_.get(), "lookup");
    store_ = lookup_ ? method_of(session_.get(), "store") : PyRef();
    if (!store_) {
        return false;
    }
    nodes_.reserve(dag_.nodes().size());
    for (const Node& node : dag_.nodes()) {
        NodeArguments& arguments = nodes_.emplace_back();
        arguments.id = PyRef::steal(PyLong_FromUnsignedLongLong(node.id));
        arguments.label = node.label ? text_to_python(*node.label) : PyRef::borrow(Py_None);
        arguments.inputs = pairs_of(node.input_mapping);
        arguments.outputs = pairs_of(node.output_mapping);
        if (!arguments.id || !arguments.label || !arguments.inputs || !arguments.outputs) {
            return false;
        }
    }
    return true;
}

CacheLookup CacheSession::lookup(const Node& node, std::span<const InputRef> inputs,
                                 PublishedOutputs& outputs) {
    CacheLookup found;
    PyObject* function = python_callable(*node.function);
    if (function == nullptr) {
        return found; // a native function: nothing to key it by
    }
    NodeLock lock;
    if (!lock.acquired()) {
        throw InterpreterShutdown();
    }
    PyRef values = PyRef::steal(PyDict_New());
    for (const InputRef& input : inputs) {
        PyRef name = values ? text_to_python(input.name) : PyRef();
        PyRef value = name ? object_of(*input.value) : PyRef();
        if (!value || PyDict_SetItem(values.get(), name.get(), value.get()) < 0) {
            throw PythonInterrupt::take_current();
        }
    }
    const NodeArguments& node_arguments =
        nodes_[static_cast<std::size_t>(&node - dag_.nodes().data())];
    PyObject* arguments[] = {
        node_arguments.id.get(),     node_arguments.label.get(),   function,
        node_arguments.inputs.get(), node_arguments.outputs.get(), values.get()};
    PyRef returned = call_session(lookup_.get(), arguments, 6);
    if (!PyTuple_Check(returned.get()) || PyTuple_GET_SIZE(returned.get()) != 3) {
        PyErr_SetString(PyExc_TypeError, "the cache session's lookup() must return a 3-tuple");
        throw PythonInterrupt::take_current();
    }
    PyObject* key = PyTuple_GET_ITEM(returned.get(), 0);
    PyObject* results = PyTuple_GET_ITEM(returned.get(), 1);
    PyObject* note = PyTuple_GET_ITEM(returned.get(), 2);
    if (note != Py_None) {
        found.note = wrap_object(note);
    }
    if (PyDict_Check(results)) {
        for (std::size_t index = 0; index < outputs.size(); ++index) {
            PyRef name = text_to_python(outputs.name(index));
            PyObject* value = name ? PyDict_GetItemWithError(results, name.get()) : nullptr;
            if (value != nullptr) {
                outputs.set(index, wrap_object(value));
            } else if (PyErr_Occurred()) {
                throw PythonInterrupt::take_current();
            }
        }
        found.hit = true;
    } else if (key != Py_None) {
        found.key = wrap_object(key);
    }
    return found;
}

GraphData CacheSession::store(const Node&, const GraphData& key, const PublishedOutputs& outputs) {
    NodeLock lock;
    if (!lock.acquired()) {
        throw InterpreterShutdown();
    }
    PyRef results = PyRef::steal(PyDict_New());
    for (std::size_t index = 0; index < outputs.size(); ++index) {
        if (!outputs.value(index)) {
            continue;
        }
        PyRef name = results ? text_to_python(outputs.name(index)) : PyRef();
        PyRef value = name ? object_of(*outputs.value(index)) : PyRef();
        if (!value || PyDict_SetItem(results.get(), name.get(), value.get()) < 0) {
            throw PythonInterrupt::take_current();
        }
    }
    PyObject* arguments[] = {handle_object(key.as_object()), results.get()};
    PyRef note = call_session(store_.get(), arguments, 2);
    return note.get() == Py_None ? GraphData() : wrap_object(note.get());
}

bool CacheSession::finish() {
    return static_cast<bool>(PyRef::steal(PyObject_CallMethod(session_.get(), "finish", nullptr)));
}

} // namespace vantorix::python
