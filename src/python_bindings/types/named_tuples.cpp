#include "types/named_tuples.hpp"

namespace vantorix::python {

PyTypeObject* new_named_tuple_type(const char* name, const char* fields, const char* doc) {
    PyRef collections = PyRef::steal(PyImport_ImportModule("collections"));
    PyRef factory = collections
                        ? PyRef::steal(PyObject_GetAttrString(collections.get(), "namedtuple"))
                        : PyRef();
    PyRef arguments = PyRef::steal(Py_BuildValue("(ss)", name, fields));
    PyRef keywords = PyRef::steal(Py_BuildValue("{ss}", "module", "vantorix"));
    if (!factory || !arguments || !keywords) {
        return nullptr;
    }
    PyRef type = PyRef::steal(PyObject_Call(factory.get(), arguments.get(), keywords.get()));
    PyRef text = PyRef::steal(PyUnicode_FromString(doc));
    if (!type || !text || PyObject_SetAttrString(type.get(), "__doc__", text.get()) < 0) {
        return nullptr;
    }
    if (!PyType_Check(type.get())) {
        PyErr_SetString(PyExc_TypeError, "collections.namedtuple did not make a class");
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(type.release());
}

PyRef make_named_tuple(PyTypeObject* type, std::initializer_list<PyObject*> items) {
    PyRef values = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    bool complete = static_cast<bool>(values);
    Py_ssize_t index = 0;
    for (PyObject* item : items) {
        complete = complete && item != nullptr;
        if (values) {
            PyTuple_SET_ITEM(values.get(), index++, item); // a tuple lets go of null items too
        } else {
            Py_XDECREF(item);
        }
    }
    PyRef arguments = complete ? PyRef::steal(PyTuple_Pack(1, values.get())) : PyRef();
    if (!arguments) {
        return PyRef();
    }
    // tuple.__new__ of a subclass, as the class's own __new__ ends up calling it.
    return PyRef::steal(PyTuple_Type.tp_new(type, arguments.get(), nullptr));
}

} // namespace vantorix::python
