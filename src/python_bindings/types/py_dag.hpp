// The `PyDag` class: runs and renders a built graph.
#pragma once

#include "dag/dag.hpp"
#include "runtime/py_ref.hpp"

namespace vantorix::python {

PyType_Spec* py_dag_spec();

// A new `PyDag` owning `dag`. Returns a new reference, or null with an error set.
PyObject* new_py_dag(Dag dag);

} // namespace vantorix::python
