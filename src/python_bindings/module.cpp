// Module initialisation and class registration.
#include "module.hpp"

#include "exception_boundary.hpp"
#include "interpreter_lock.hpp"
#include "py_dag.hpp"
#include "py_graph.hpp"

#include <atomic>
#include <exception>
#include <new>

#ifndef VANTORIX_VERSION
#error "VANTORIX_VERSION comes from pyproject.toml through src/python_bindings/CMakeLists.txt"
#endif

namespace vantorix::python {

namespace {

std::atomic<bool> g_initialised{false};
PyObject* g_internal_failure = nullptr; // created on first use, kept for the process
PyTypeObject* g_types[2] = {nullptr, nullptr};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "vantorix",
    "Initialize the Python module",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyTypeObject* type_for(std::size_t index, PyType_Spec* type_spec) {
    if (g_types[index] == nullptr) {
        g_types[index] = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(type_spec));
    }
    return g_types[index];
}

bool register_class(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr) {
        return false;
    }
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return false;
        }
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) {
        return false;
    }
    return PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* create_module() {
    ModuleEntry entry;
    PyRef module = PyRef::steal(PyModule_Create2(&g_module_def, 1013));
    if (!module) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    if (g_initialised.exchange(true)) {
        PyErr_SetString(PyExc_ImportError,
                        "vantorix may be initialised only once per interpreter process");
        return nullptr;
    }
    install_object_handle_ops();
    PyTypeObject* graph_type = type_for(0, py_graph_spec());
    if (graph_type != nullptr) {
        set_py_graph_type(graph_type);
    }
    if (!register_class(module.get(), "PyGraph", graph_type)) {
        return nullptr;
    }
    PyTypeObject* dag_type = type_for(1, py_dag_spec());
    if (dag_type != nullptr) {
        set_py_dag_type(dag_type);
    }
    if (!register_class(module.get(), "PyDag", dag_type)) {
        return nullptr;
    }
    if (PyModule_AddStringConstant(module.get(), "__version__", VANTORIX_VERSION) < 0) {
        return nullptr;
    }
    return module.release();
}

} // namespace

PyObject* initialise() { return guarded<create_module>(); }

void raise_internal_failure(const std::string& message) {
    if (g_internal_failure == nullptr) {
        g_internal_failure = PyErr_NewExceptionWithDoc(
            "vantorix.PanicException",
            "An internal failure of the engine (a worker thread failed or could not start).",
            PyExc_BaseException, nullptr);
        if (g_internal_failure == nullptr) {
            return;
        }
    }
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) {
        PyErr_SetObject(g_internal_failure, text.get());
    }
}

namespace {

void raise_failure_message(const char* message) noexcept {
    try {
        raise_internal_failure(message);
    } catch (...) {
        PyErr_NoMemory(); // not even the message could be made
    }
}

} // namespace

void raise_current_cxx_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_failure_message(error.what());
    } catch (...) {
        raise_failure_message("unknown C++ exception");
    }
}

} // namespace vantorix::python
