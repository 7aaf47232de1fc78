// The `PyDag` class: runs and renders a built graph.
#pragma once

#include "dag/dag.hpp"
#include "py_ref.hpp"

namespace vantorix::python {

PyType_Spec* py_dag_spec();
void set_py_dag_type(PyTypeObject* type);

// A new `PyDag` owning `dag`. Returns a new reference, or null with an error set.
PyObject* new_py_dag(Dag dag);

} // namespace vantorix::python
