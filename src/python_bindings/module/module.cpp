// Module initialisation and class registration.
#include "module/module.hpp"

#include "calls/exception_boundary.hpp"
#include "runtime/module_state.hpp"
#include "runtime/object_handles.hpp"
#include "runtime/python_version.hpp"
#include "types/py_dag.hpp"
#include "types/py_graph.hpp"

#include <atomic>

#ifndef VANTORIX_VERSION
#error "VANTORIX_VERSION comes from pyproject.toml through the top CMakeLists.txt"
#endif

namespace vantorix::python {

namespace {

std::atomic<bool> g_initialised{false};

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

// Created once per process, on first need.
PyTypeObject* type_for(PyTypeObject*& type, PyType_Spec* type_spec) {
    if (type == nullptr) {
        type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(type_spec));
    }
    return type;
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
    if (declare_gil_not_needed(module.get()) < 0) {
        return nullptr;
    }
    if (g_initialised.exchange(true)) {
        PyErr_SetString(PyExc_ImportError,
                        "vantorix may be initialised only once per interpreter process");
        return nullptr;
    }
    install_object_handle_ops();
    ModuleState& state = module_state();
    if (!register_class(module.get(), "PyGraph", type_for(state.graph_type, py_graph_spec())) ||
        !register_class(module.get(), "PyDag", type_for(state.dag_type, py_dag_spec())) ||
        PyModule_AddStringConstant(module.get(), "__version__", VANTORIX_VERSION) < 0) {
        return nullptr;
    }
    return module.release();
}

} // namespace

PyObject* initialise() { return guarded<create_module>(); }

} // namespace vantorix::python
