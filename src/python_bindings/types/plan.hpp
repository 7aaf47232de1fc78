// `PyDag.plan()` and `PyDag.check()`: the data flow of a DAG as records.
#pragma once

#include "types/dag_object.hpp"

namespace vantorix::python {

// A `PlanRecord` per scheduled node, in the order a run in that mode merges results. New list,
// or null with an error set. Lock held.
PyObject* plan_records(PyDagObject* self, bool parallel);

// A `Finding` per concern about the data flow in that mode; an empty list when it is sound. New
// list, or null with an error set. Lock held.
PyObject* check_findings(PyDagObject* self, bool parallel);

} // namespace vantorix::python
