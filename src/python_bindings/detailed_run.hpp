// `PyDag.execute_detailed` and what else a script may read about a DAG's runs.
#pragma once

#include "dag/dag.hpp"
#include "py_ref.hpp"

namespace vantorix::python {

// Runs `dag`, held by `dag_object` (a `PyDag`), for `PyDag.execute_detailed` and returns its
// report. The caller has entered the module and borrowed the instance. New reference, or null
// with a Python error set.
PyObject* execute_detailed(PyObject* dag_object, const Dag& dag, PyObject* const* args,
                           Py_ssize_t nargsf, PyObject* kwnames);

// `PyDag.levels`: a new list of lists of node identifiers. Lock held.
PyRef levels_to_python(const Levels& levels);

} // namespace vantorix::python
