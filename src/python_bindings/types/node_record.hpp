// The records of the nodes of a run, as `PyDag.execute_detailed` reports them.
#pragma once

#include "dag/run_trace.hpp"
#include "runtime/py_ref.hpp"

#include <cstdint>
#include <vector>

namespace vantorix::python {

// Makes the `NodeRecord` objects of the runs of one DAG. Lock held for every call.
class NodeRecords {
public:
    // False with a Python error set when the record type cannot be made.
    bool prepare(const Dag& dag);
    // The record of a node that ran (or was skipped), with the error its trace holds, or with
    // `error` (borrowed; None when it gave none). Null with a Python error set on failure.
    PyRef ran(const NodeTrace& trace);
    PyRef ran(const NodeTrace& trace, PyObject* error);
    // The record of a node that did not run.
    PyRef not_run(const Node& node);

private:
    PyRef make(const Node& node, PyObject* status, PyObject* error, PyObject* seconds,
               PyObject* thread);

    const Dag* dag_ = nullptr;
    // Per node position: the index of its level, or Dag::kUnscheduled.
    std::vector<std::uint32_t> level_of_;
    // The thread of the last record, which the next one most often shares.
    std::uint64_t last_thread_ = 0;
    PyRef last_thread_object_;
};

} // namespace vantorix::python
