// The `PyGraph` class: builds a graph of Python callables.
#pragma once

#include "py_ref.hpp"

namespace vantorix::python {

// The class's PyType_Spec: name, slots, methods and documentation texts.
PyType_Spec* py_graph_spec();
// Whether `object` is a `PyGraph` instance. Requires the type to exist.
bool is_py_graph(PyObject* object);
void set_py_graph_type(PyTypeObject* type);

} // namespace vantorix::python
