// The report of `PyDag.execute_detailed`. Its type is no module attribute: scripts reach it
// through the object, type checkers through the stubs.
#pragma once

#include "dag/run_trace.hpp"
#include "runtime/py_ref.hpp"
#include "types/dag_object.hpp"
#include "types/node_record.hpp"

namespace vantorix::python {

// A new `RunReport` of a finished run of the DAG that `dag_object` holds: `context` is its final
// context, `trace` what the run traced of the nodes that ran, and `records` are prepared for its
// DAG. `made` holds the records already made for the first nodes, in their order, or is
// null. Null with a Python error set on failure. Lock held.
PyRef new_run_report(PyDagObject* dag_object, PyRef context, RunTrace trace, NodeRecords records,
                     PyRef made);

} // namespace vantorix::python
