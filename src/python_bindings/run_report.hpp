// The report of `PyDag.execute_detailed` and the records of its nodes. Neither type is a module
// attribute: scripts reach them through the objects, type checkers through the stubs.
#pragma once

#include "dag/dag.hpp"
#include "py_ref.hpp"

#include <cstdint>
#include <vector>

namespace vantorix::python {

// Makes the `NodeRecord` objects of one run of `dag`. Lock held for every call.
class NodeRecords {
public:
    // False with a Python error set when the record type cannot be made.
    bool prepare(const Dag& dag);
    // The record of a node that ran, with the error its trace holds, or with `error` (borrowed;
    // None when it gave none). Null with a Python error set on failure.
    PyRef ran(const NodeTrace& trace);
    PyRef ran(const NodeTrace& trace, PyObject* error);
    // The record of a node that did not run.
    PyRef not_run(const Node& node);

private:
    PyRef make(const Node& node, PyObject* status, PyObject* error, PyObject* seconds,
               PyObject* thread);

    const Dag* dag_ = nullptr;
    // Per node position: the index of its level, or kNoLevel.
    std::vector<std::uint32_t> level_of_;
    // The thread of the last record, which the next one most often shares.
    std::uint64_t last_thread_ = 0;
    PyRef last_thread_object_;
};

// A new `RunReport` of a finished run of the DAG that `dag_object` (a `PyDag`) holds: `context`
// is its final context, `traces` and `published` what the run recorded of the nodes that ran, and
// `records` are prepared for it. `made` holds the records already made for the first traces, in
// their order, or is null. Null with a Python error set on failure. Lock held.
PyRef new_run_report(PyObject* dag_object, const Dag& dag, PyRef context,
                     std::vector<NodeTrace> traces, PublishedRecord published, NodeRecords records,
                     PyRef made);

} // namespace vantorix::python
