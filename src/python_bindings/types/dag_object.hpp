// What a `PyDag` instance holds, for the types that run its DAG and report on its runs.
#pragma once

#include "dag/run.hpp"
#include "runtime/py_ref.hpp"

#include <memory>
#include <vector>

namespace vantorix::python {

struct PyDagObject {
    PyObject_HEAD
    std::unique_ptr<const Dag> dag; // null once the collector has cleared the instance
    // The `str` of every variable of the DAG, made at its first run so that every result dict is
    // filled from ready-made keys with known hashes. Owned; null until made, then never replaced
    // (runs on other threads may make them at the same time: the first kept is every run's).
    const std::vector<PyRef>* keys;
    Py_ssize_t borrow;
};

inline PyDagObject* as_dag_object(PyObject* self) { return reinterpret_cast<PyDagObject*>(self); }

// The DAG of a `PyDag`; one without nodes once the collector has cleared the instance (a
// finaliser may still run it).
const Dag& dag_of(const PyDagObject* self);

// The keys of the instance's result dicts, made at its first run; null with a Python error set
// when a key cannot be made. Lock held.
const std::vector<PyRef>* result_keys(PyDagObject* self);
// Lets go of the keys, when the instance is deallocated. Lock held.
void release_result_keys(PyDagObject* self) noexcept;

// The final context of a run of the instance's DAG that started from `initial`, as a new dict;
// empties `result.values`. Null with a Python error set. Lock held.
PyObject* result_dict(PyDagObject* self, RunResult& result, const Context& initial);

} // namespace vantorix::python
