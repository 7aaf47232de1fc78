// The `PyDag` class: runs and renders a built graph.
#pragma once

#include "dag/dag.hpp"
#include "interpreter_lock.hpp"
#include "py_ref.hpp"

#include <functional>
#include <vector>

namespace vantorix::python {

PyType_Spec* py_dag_spec();
void set_py_dag_type(PyTypeObject* type);

// A new `PyDag` owning `dag`. Returns a new reference, or null with an error set.
PyObject* new_py_dag(Dag dag);

// The DAG of a `PyDag`; one without nodes once the collector has cleared the instance (a
// finaliser may still run it).
const Dag& dag_of(PyObject* self);

// The `str` of each slot's variable (see `Dag::for_each_slot`), made at the instance's first
// execution and kept. Null with a Python error set when a key cannot be made. Lock held.
const std::vector<PyRef>* result_keys(PyObject* self);

// The final context of a run of the instance's DAG that started from `initial`, as a new dict;
// empties `values`. Null with a Python error set. Lock held.
PyObject* result_dict(PyObject* self, ExecutionValues& values, const Context& initial);

// False with a RecursionError naming the method `full_name` when too little C stack is left for
// one more run nested in a node.
bool check_stack_for_nested_run(const char* full_name);

// Runs `engine_run` with the interpreter lock released, handing it the hooks to run the engine
// with (it may add its own) and the released lock (to call into Python briefly). While the run
// waits for workers the calling thread now and then takes the lock back to run signal handlers,
// so Ctrl-C stops it. An interrupt raised in the run is set as the Python error again; engine
// failures become the internal-failure exception. Returns false with a Python error set when the
// run did not finish.
bool run_released(const std::function<void(ExecutionHooks&, ReleasedLock&)>& engine_run);

// From inside `run_released`: runs `call` with the lock taken back. When it fails (returns false
// with a Python error set) that error stops the run, as an exit raised by a node does.
void call_with_lock(ReleasedLock& released, const std::function<bool()>& call);

} // namespace vantorix::python
