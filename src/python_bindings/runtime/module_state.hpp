// Everything the module keeps for the life of the process: its type objects, its exception and
// the texts it hands out again and again. Made during import or on first need, under the lock.
#pragma once

#include "runtime/py_ref.hpp"

#include <string>

namespace vantorix::python {

struct ModuleState {
    PyTypeObject* graph_type = nullptr;
    PyTypeObject* dag_type = nullptr;
    PyTypeObject* report_type = nullptr;
    PyTypeObject* record_type = nullptr;
    // Created on first use: derived directly from BaseException.
    PyObject* internal_failure = nullptr;
    // How a node of a run ended, as its record says.
    PyObject* status_ok = nullptr;
    PyObject* status_cached = nullptr;
    PyObject* status_failed = nullptr;
    PyObject* status_skipped = nullptr;
    PyObject* status_not_run = nullptr;
    // The records of `PyDag.plan()` and `PyDag.check()`.
    PyTypeObject* plan_record_type = nullptr;
    PyTypeObject* finding_type = nullptr;
};

ModuleState& module_state() noexcept;

// Raises the internal-failure exception (derived directly from BaseException, so that
// `except Exception` does not swallow it) with `message` as its single argument.
void raise_internal_failure(const std::string& message);

} // namespace vantorix::python
