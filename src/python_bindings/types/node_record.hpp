// The records of the nodes of a run, as `PyDag.execute_detailed` reports them.
#pragma once

#include "dag/run_trace.hpp"
#include "runtime/py_ref.hpp"

#include <cstdint>
#include <vector>

namespace vantorix::python {

// The thread of the last record one caller made, which its next record most often shares. Each
// caller keeps its own, so that records can be made by several callers at once.
struct LastThread {
    std::uint64_t thread = 0;
    PyRef ident;
};

// Makes the `NodeRecord` objects of the runs of one DAG. Lock held for every call.
class NodeRecords {
public:
    // False with a Python error set when the record type cannot be made.
    bool prepare(const Dag& dag);
    // The record of a node that ran (or was skipped), with the error its trace holds, or with
    // `error` (borrowed; None when it gave none). Null with a Python error set on failure.
    PyRef ran(const NodeTrace& trace, LastThread& last) const;
    PyRef ran(const NodeTrace& trace, PyObject* error, LastThread& last) const;
    // The record of a node that did not run.
    PyRef not_run(const Node& node) const;

private:
    // `seconds`, `thread` and `started` are new references, the others borrowed.
    PyRef make(const Node& node, PyObject* status, PyObject* error, PyObject* seconds,
               PyObject* thread, PyObject* uncached, PyObject* started) const;

    const Dag* dag_ = nullptr;
    // Per node position: the index of its level, or Dag::kUnscheduled.
    std::vector<std::uint32_t> level_of_;
};

} // namespace vantorix::python
