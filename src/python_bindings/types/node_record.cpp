#include "types/node_record.hpp"

#include "runtime/module_state.hpp"
#include "runtime/object_handles.hpp"
#include "types/named_tuples.hpp"
#include "values/conversion.hpp"

namespace vantorix::python {

namespace {

constexpr const char* kRecordDoc =
    "How one node of a run ended: what PyDag.execute_detailed reports for each node.\n\n"
    "id: identifier of the node; label: its label, or None; branch_id: identifier of the "
    "branch it belongs to, or None; level: index of its level, or None when it could not be "
    "scheduled; status: 'ok', 'cached', 'failed', 'skipped' or 'not run'; error: what it failed "
    "with (the exception its function raised, or a TypeError for a result that is not a dict), "
    "or None; seconds: wall time of its step on the thread that ran it, None when it did not "
    "run; thread: ident of that thread, as threading.get_ident() gives it, None when it did not "
    "run; uncached: in a run with a cache, why the node was neither served nor kept by it (a "
    "value that cannot be keyed, results that cannot be stored), else None; started: seconds from "
    "the start of the run to the start of the node's step, on the clock of seconds, None when "
    "it did not run";

// The record type and the status texts, made on first need and kept for the process. Making the
// type runs Python code, which may make records itself: the first one made is kept.
bool ensure_record_type() {
    ModuleState& state = module_state();
    for (auto [status, text] : {std::pair{&state.status_ok, "ok"},
                                {&state.status_cached, "cached"},
                                {&state.status_failed, "failed"},
                                {&state.status_skipped, "skipped"},
                                {&state.status_not_run, "not run"}}) {
        if (published(*status) == nullptr) {
            PyRef made = PyRef::steal(PyUnicode_InternFromString(text));
            if (!made) {
                return false;
            }
            publish_once(*status, std::move(made));
        }
    }
    if (published(state.record_type) == nullptr) {
        PyRef made = PyRef::steal(reinterpret_cast<PyObject*>(new_named_tuple_type(
            "NodeRecord", "id label branch_id level status error seconds thread uncached started",
            kRecordDoc)));
        if (!made) {
            return false;
        }
        publish_once(state.record_type, std::move(made));
    }
    return true;
}

} // namespace

bool NodeRecords::prepare(const Dag& dag) {
    if (!ensure_record_type()) {
        return false;
    }
    dag_ = &dag;
    level_of_ = dag.level_of_positions();
    return true;
}

PyRef NodeRecords::make(const Node& node, PyObject* status, PyObject* error, PyObject* seconds,
                        PyObject* thread, PyObject* uncached, PyObject* started) const {
    const std::uint32_t level = level_of_[static_cast<std::size_t>(&node - dag_->nodes().data())];
    return make_named_tuple(
        module_state().record_type,
        {PyLong_FromUnsignedLongLong(node.id),
         node.label ? text_to_python(*node.label).release() : new_reference(Py_None),
         node.branch_id ? PyLong_FromUnsignedLongLong(*node.branch_id) : new_reference(Py_None),
         level == Dag::kUnscheduled ? new_reference(Py_None) : PyLong_FromUnsignedLong(level),
         new_reference(status), new_reference(error), seconds, thread, new_reference(uncached),
         started});
}

PyRef NodeRecords::ran(const NodeTrace& trace, LastThread& last) const {
    return ran(trace,
               trace.error.kind() == GraphData::Kind::PyObject
                   ? handle_object(trace.error.as_object())
                   : Py_None,
               last);
}

PyRef NodeRecords::ran(const NodeTrace& trace, PyObject* error, LastThread& last) const {
    if (trace.skipped) {
        return make(*trace.node, module_state().status_skipped, Py_None, new_reference(Py_None),
                    new_reference(Py_None), Py_None, new_reference(Py_None));
    }
    if (!last.ident || trace.thread != last.thread) {
        last.ident = PyRef::steal(PyLong_FromUnsignedLongLong(trace.thread));
        if (!last.ident) {
            return PyRef();
        }
        last.thread = trace.thread;
    }
    const ModuleState& state = module_state();
    PyObject* status = trace.failed   ? state.status_failed
                       : trace.cached ? state.status_cached
                                      : state.status_ok;
    return make(*trace.node, status, error, PyFloat_FromDouble(trace.seconds),
                new_reference(last.ident.get()),
                trace.cache_note.kind() == GraphData::Kind::PyObject
                    ? handle_object(trace.cache_note.as_object())
                    : Py_None,
                PyFloat_FromDouble(trace.started));
}

PyRef NodeRecords::not_run(const Node& node) const {
    return make(node, module_state().status_not_run, Py_None, new_reference(Py_None),
                new_reference(Py_None), Py_None, new_reference(Py_None));
}

} // namespace vantorix::python
