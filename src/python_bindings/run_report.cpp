#include "run_report.hpp"

#include "arguments.hpp"
#include "conversion.hpp"
#include "exception_boundary.hpp"
#include "interpreter_lock.hpp"
#include "py_dag.hpp"

#include <algorithm>
#include <cstddef>
#include <string>

namespace vantorix::python {

namespace {

constexpr std::uint32_t kNoLevel = UINT32_MAX;

// How a node ended, as records say it. Made once and kept for the process.
struct Statuses {
    PyObject* ok = nullptr;
    PyObject* failed = nullptr;
    PyObject* not_run = nullptr;
};
Statuses g_statuses;

PyTypeObject* g_record_type = nullptr;
PyTypeObject* g_report_type = nullptr;

PyStructSequence_Field g_record_fields[] = {
    {"id", "identifier of the node"},
    {"label", "its label, or None"},
    {"branch_id", "identifier of the branch it belongs to, or None"},
    {"level", "index of its level, or None when it could not be scheduled"},
    {"status", "'ok', 'failed' or 'not run'"},
    {"error",
     "what it failed with: the exception its function raised, or a TypeError for a result that "
     "is not a dict; None otherwise"},
    {"seconds", "wall time of its step on the thread that ran it; None when it did not run"},
    {"thread", "ident of the thread that ran it, as threading.get_ident() gives it; None when it "
               "did not run"},
    {nullptr, nullptr},
};

PyStructSequence_Desc g_record_desc = {
    "vantorix.NodeRecord",
    "How one node of a run ended: what PyDag.execute_detailed reports for each node.",
    g_record_fields,
    8,
};

// ---------------------------------------------------------------------------------------------
// RunReport

// What a report keeps of its run besides Python objects.
struct ReportState {
    const Dag* dag;
    // One per node that ran, in order; their errors live in the report's `errors` list.
    std::vector<NodeTrace> traces;
    // What each of them published. Converted into `node_outputs` and `branch_outputs` on first
    // access, and let go of once both are made.
    PublishedRecord published;
    NodeRecords records;
};

struct RunReportObject {
    PyObject_HEAD
    PyObject* dag_object; // the PyDag, which keeps `state->dag` alive
    PyObject* context;
    PyObject* errors; // per trace: its error, or None
    PyObject* made;   // the records made while the run went on, or null
    // Made on first access.
    PyObject* node_outputs;
    PyObject* branch_outputs;
    PyObject* nodes;
    PyObject* failed;
    ReportState* state;
};

RunReportObject* as_report(PyObject* self) { return reinterpret_cast<RunReportObject*>(self); }

int run_report_traverse(PyObject* self, visitproc visit, void* arg) {
    RunReportObject* report = as_report(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(report->dag_object);
    Py_VISIT(report->context);
    Py_VISIT(report->branch_outputs);
    Py_VISIT(report->errors);
    Py_VISIT(report->made);
    Py_VISIT(report->node_outputs);
    Py_VISIT(report->nodes);
    Py_VISIT(report->failed);
    if (report->state != nullptr) {
        for (const PublishedRecord::Value& published : report->state->published.values) {
            if (const int stop = visit_sole_objects(published.value, visit, arg)) {
                return stop;
            }
        }
    }
    return 0;
}

int run_report_clear(PyObject* self) {
    ImmediateReleases releases; // references held natively are given back at once
    RunReportObject* report = as_report(self);
    Py_CLEAR(report->dag_object);
    Py_CLEAR(report->context);
    Py_CLEAR(report->branch_outputs);
    Py_CLEAR(report->errors);
    Py_CLEAR(report->made);
    Py_CLEAR(report->node_outputs);
    Py_CLEAR(report->nodes);
    Py_CLEAR(report->failed);
    if (report->state != nullptr) {
        report->state->published = PublishedRecord();
    }
    return 0;
}

// Untracked first, as the DAG's deallocator is: what the report holds may run finalisers.
void run_report_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    {
        ImmediateReleases releases;
        run_report_clear(self);
        delete as_report(self)->state;
    }
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* run_report_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    return nullptr;
}

// A report whose cycle the collector broke, or whose PyDag it cleared, has nothing left to show:
// the traces point into the DAG's nodes.
bool check_whole(RunReportObject* report) {
    if (report->dag_object == nullptr || &dag_of(report->dag_object) != report->state->dag) {
        PyErr_SetString(PyExc_ValueError, "the report has been cleared");
        return false;
    }
    return true;
}

PyObject* new_reference(PyObject* object) {
    Py_INCREF(object);
    return object;
}

PyObject* get_stored(PyObject* self, void* member) {
    PyObject* object = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) +
                                                     reinterpret_cast<std::uintptr_t>(member));
    if (object == nullptr) {
        check_whole(as_report(self));
        return nullptr;
    }
    return new_reference(object);
}

// Stores what one node published into `outputs`, a dict; a name it published twice takes the
// later value, as in the run.
bool store_published(PyObject* outputs, const std::vector<PyRef>& keys,
                     std::span<const PublishedRecord::Value> published) {
    for (const PublishedRecord::Value& entry : published) {
        PyRef value = graph_data_to_python(entry.value);
        if (!value || PyDict_SetItem(outputs, keys[entry.slot].get(), value.get()) < 0) {
            return false;
        }
    }
    return true;
}

// Lets go of the record once nothing more is made from it.
void release_published(RunReportObject* report) {
    if (report->node_outputs != nullptr && report->branch_outputs != nullptr) {
        report->state->published = PublishedRecord();
    }
}

// `node_outputs`: in the order the nodes ran; an identifier that ran twice (hand-built DAGs)
// once, with the outputs of its last run.
PyRef node_outputs_of(const ReportState& state, const std::vector<PyRef>& keys) {
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) {
        return dict;
    }
    for (std::size_t i = 0; i < state.traces.size(); ++i) {
        PyRef key = PyRef::steal(PyLong_FromUnsignedLongLong(state.traces[i].node->id));
        PyRef outputs = key ? PyRef::steal(PyDict_New()) : PyRef();
        if (!outputs || !store_published(outputs.get(), keys, state.published.of(i)) ||
            PyDict_SetItem(dict.get(), key.get(), outputs.get()) < 0) {
            return PyRef();
        }
    }
    return dict;
}

// `branch_outputs`: each branch's outputs merged in the order its nodes ran, the branches by
// identifier.
PyRef branch_outputs_of(const ReportState& state, const std::vector<PyRef>& keys) {
    std::vector<std::pair<BranchId, PyRef>> branches;
    for (std::size_t i = 0; i < state.traces.size(); ++i) {
        const std::optional<BranchId>& branch_id = state.traces[i].node->branch_id;
        if (!branch_id) {
            continue;
        }
        auto found = std::find_if(branches.begin(), branches.end(),
                                  [&](const auto& branch) { return branch.first == *branch_id; });
        if (found == branches.end()) {
            PyRef outputs = PyRef::steal(PyDict_New());
            if (!outputs) {
                return outputs;
            }
            branches.emplace_back(*branch_id, std::move(outputs));
            found = branches.end() - 1;
        }
        if (!store_published(found->second.get(), keys, state.published.of(i))) {
            return PyRef();
        }
    }
    std::sort(branches.begin(), branches.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) {
        return dict;
    }
    for (const auto& [branch_id, outputs] : branches) {
        PyRef key = PyRef::steal(PyLong_FromUnsignedLongLong(branch_id));
        if (!key || PyDict_SetItem(dict.get(), key.get(), outputs.get()) < 0) {
            return PyRef();
        }
    }
    return dict;
}

// A dict made from the record on first access and kept in `field`.
template <PyRef (*make)(const ReportState&, const std::vector<PyRef>&),
          PyObject* RunReportObject::*field>
PyObject* get_published(PyObject* self, void*) {
    ModuleEntry entry;
    RunReportObject* report = as_report(self);
    if (report->*field == nullptr) {
        const std::vector<PyRef>* keys =
            check_whole(report) ? result_keys(report->dag_object) : nullptr;
        PyRef made = keys != nullptr ? make(*report->state, *keys) : PyRef();
        if (!made) {
            return nullptr;
        }
        if (report->*field == nullptr) { // conversion runs no Python code, but be sure
            report->*field = made.release();
            release_published(report);
        }
    }
    return new_reference(report->*field);
}

// Makes `nodes` and `failed` on first need.
bool make_records(RunReportObject* report) {
    if (report->nodes != nullptr) {
        return true;
    }
    if (!check_whole(report)) {
        return false;
    }
    ReportState& state = *report->state;
    const std::vector<Node>& dag_nodes = state.dag->nodes();
    PyRef nodes = PyRef::steal(PyList_New(0));
    PyRef failed = PyRef::steal(PyList_New(0));
    if (!nodes || !failed) {
        return false;
    }
    std::vector<bool> ran(dag_nodes.size(), false);
    const Py_ssize_t made = report->made == nullptr ? 0 : PyList_GET_SIZE(report->made);
    for (std::size_t i = 0; i < state.traces.size(); ++i) {
        const NodeTrace& trace = state.traces[i];
        ran[static_cast<std::size_t>(trace.node - dag_nodes.data())] = true;
        PyRef record = static_cast<Py_ssize_t>(i) < made
                           ? PyRef::borrow(PyList_GET_ITEM(report->made, i))
                           : state.records.ran(trace, PyList_GET_ITEM(report->errors,
                                                                      static_cast<Py_ssize_t>(i)));
        if (!record || PyList_Append(nodes.get(), record.get()) < 0 ||
            (trace.failed && PyList_Append(failed.get(), record.get()) < 0)) {
            return false;
        }
    }
    for (std::size_t position = 0; position < dag_nodes.size(); ++position) {
        if (ran[position]) {
            continue;
        }
        PyRef record = state.records.not_run(dag_nodes[position]);
        if (!record || PyList_Append(nodes.get(), record.get()) < 0) {
            return false;
        }
    }
    if (report->nodes == nullptr) {
        report->nodes = nodes.release();
        report->failed = failed.release();
    }
    return true;
}

PyObject* get_nodes(PyObject* self, void*) {
    ModuleEntry entry;
    return make_records(as_report(self)) ? new_reference(as_report(self)->nodes) : nullptr;
}

PyObject* get_failed(PyObject* self, void*) {
    ModuleEntry entry;
    return make_records(as_report(self)) ? new_reference(as_report(self)->failed) : nullptr;
}

PyObject* run_report_repr(PyObject* self) {
    RunReportObject* report = as_report(self);
    if (!check_whole(report)) {
        return nullptr;
    }
    const std::vector<NodeTrace>& traces = report->state->traces;
    const std::size_t total = report->state->dag->nodes().size();
    const auto failed = static_cast<std::size_t>(std::count_if(
        traces.begin(), traces.end(), [](const NodeTrace& trace) { return trace.failed; }));
    return PyUnicode_FromFormat(
        "<vantorix.RunReport: %zu node%s, %zu ok, %zu failed, %zu not run>", total,
        total == 1 ? "" : "s", traces.size() - failed, failed, total - traces.size());
}

PyObject* run_report_to_mermaid(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) {
    ModuleEntry entry;
    static const Signature signature{"RunReport.to_mermaid()", {"durations"}, 0, 1};
    PyObject* slots[1];
    bool durations = true;
    if (!read_arguments(signature, args, nargsf, kwnames, slots) ||
        !read_bool(slots[0], "durations", durations)) {
        return nullptr;
    }
    RunReportObject* report = as_report(self);
    if (!check_whole(report)) {
        return nullptr;
    }
    const std::string text = run_to_mermaid(*report->state->dag, report->state->traces, durations);
    return text_to_python(text).release();
}

PyMethodDef g_report_methods[] = {
    {"to_mermaid", guarded_method<run_report_to_mermaid>(), METH_FASTCALL | METH_KEYWORDS,
     "to_mermaid($self, *, durations=True)\n--\n\n"
     "Mermaid diagram of the run\n\n"
     "The DAG's diagram, with every box saying how its node ended and, with durations, how long\n"
     "it took; boxes are coloured by status. Labels and names are escaped so that Mermaid shows\n"
     "them as they are.\n\n"
     "Returns:\n"
     "    String containing the Mermaid diagram"},
    {nullptr, nullptr, 0, nullptr},
};

void* member(std::size_t offset) { return reinterpret_cast<void*>(offset); }

PyGetSetDef g_report_getset[] = {
    {"context", guarded<get_stored>, nullptr, "the final context, as execute() returns it",
     member(offsetof(RunReportObject, context))},
    {"node_outputs", guarded<get_published<node_outputs_of, &RunReportObject::node_outputs>>,
     nullptr, "{node id: the outputs it published} for every node that ran, in the order they ran",
     nullptr},
    {"branch_outputs", guarded<get_published<branch_outputs_of, &RunReportObject::branch_outputs>>,
     nullptr, "{branch id: the outputs of its nodes, merged} for every branch of which a node ran",
     nullptr},
    {"nodes", guarded<get_nodes>, nullptr,
     "a NodeRecord per node: those that ran in the order they ran, then those that did not",
     nullptr},
    {"failed", guarded<get_failed>, nullptr, "the records whose status is 'failed'", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_report_slots[] = {
    {Py_tp_doc, const_cast<char*>("What PyDag.execute_detailed() reports about one run.")},
    {Py_tp_new, reinterpret_cast<void*>(run_report_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(run_report_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(run_report_traverse)},
    {Py_tp_clear, guarded_slot<run_report_clear>()},
    {Py_tp_repr, guarded_slot<run_report_repr>()},
    {Py_tp_methods, g_report_methods},
    {Py_tp_getset, g_report_getset},
    {0, nullptr},
};

PyType_Spec g_report_spec{"vantorix.RunReport", sizeof(RunReportObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, g_report_slots};

// Both types and the status texts, made on first need and kept for the process.
bool ensure_types() {
    if (g_report_type != nullptr) {
        return true;
    }
    if (g_statuses.ok == nullptr) {
        g_statuses = {PyUnicode_InternFromString("ok"), PyUnicode_InternFromString("failed"),
                      PyUnicode_InternFromString("not run")};
        if (g_statuses.ok == nullptr || g_statuses.failed == nullptr ||
            g_statuses.not_run == nullptr) {
            Py_CLEAR(g_statuses.ok);
            Py_CLEAR(g_statuses.failed);
            Py_CLEAR(g_statuses.not_run);
            return false;
        }
    }
    if (g_record_type == nullptr) {
        g_record_type = PyStructSequence_NewType(&g_record_desc);
        if (g_record_type == nullptr) {
            return false;
        }
    }
    g_report_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_report_spec));
    return g_report_type != nullptr;
}

} // namespace

bool NodeRecords::prepare(const Dag& dag) {
    if (!ensure_types()) {
        return false;
    }
    dag_ = &dag;
    const std::vector<Node>& nodes = dag.nodes();
    level_of_.assign(nodes.size(), kNoLevel);
    const Levels& levels = dag.levels();
    for (std::size_t level = 0; level < levels.size(); ++level) {
        for (const NodeId id : levels[level]) {
            if (const Node* node = dag.find_node(id)) {
                level_of_[static_cast<std::size_t>(node - nodes.data())] =
                    static_cast<std::uint32_t>(level);
            }
        }
    }
    return true;
}

PyRef NodeRecords::make(const Node& node, PyObject* status, PyObject* error, PyObject* seconds,
                        PyObject* thread) {
    PyRef record = PyRef::steal(PyStructSequence_New(g_record_type));
    if (!record) {
        Py_XDECREF(seconds);
        Py_XDECREF(thread);
        return record;
    }
    const std::uint32_t level = level_of_[static_cast<std::size_t>(&node - dag_->nodes().data())];
    PyObject* items[] = {
        PyLong_FromUnsignedLongLong(node.id),
        node.label ? text_to_python(*node.label).release() : new_reference(Py_None),
        node.branch_id ? PyLong_FromUnsignedLongLong(*node.branch_id) : new_reference(Py_None),
        level == kNoLevel ? new_reference(Py_None) : PyLong_FromUnsignedLong(level),
        new_reference(status),
        new_reference(error),
        seconds,
        thread,
    };
    bool complete = true;
    for (Py_ssize_t i = 0; i < 8; ++i) {
        complete = complete && items[i] != nullptr;
        // A struct sequence lets go of whatever it holds, null items included.
        PyStructSequence_SET_ITEM(record.get(), i, items[i]);
    }
    if (!complete) {
        return PyRef();
    }
    // Made from C, a struct sequence is not tracked by the collector; this one may hold an
    // exception whose traceback leads back to whatever holds the record.
    PyObject_GC_Track(record.get());
    return record;
}

PyRef NodeRecords::ran(const NodeTrace& trace) {
    return ran(trace, trace.error.kind() == GraphData::Kind::PyObject
                          ? handle_object(trace.error.as_object())
                          : Py_None);
}

PyRef NodeRecords::ran(const NodeTrace& trace, PyObject* error) {
    if (!last_thread_object_ || trace.thread != last_thread_) {
        last_thread_object_ = PyRef::steal(PyLong_FromUnsignedLongLong(trace.thread));
        if (!last_thread_object_) {
            return PyRef();
        }
        last_thread_ = trace.thread;
    }
    return make(*trace.node, trace.failed ? g_statuses.failed : g_statuses.ok, error,
                PyFloat_FromDouble(trace.seconds), new_reference(last_thread_object_.get()));
}

PyRef NodeRecords::not_run(const Node& node) {
    return make(node, g_statuses.not_run, Py_None, new_reference(Py_None), new_reference(Py_None));
}

PyRef new_run_report(PyObject* dag_object, const Dag& dag, PyRef context,
                     std::vector<NodeTrace> traces, PublishedRecord published, NodeRecords records,
                     PyRef made) {
    PyRef errors = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(traces.size())));
    if (!errors) {
        return PyRef();
    }
    // Errors move into a list the collector sees: a traceback's frames can lead back to the
    // frame that holds the report.
    for (std::size_t i = 0; i < traces.size(); ++i) {
        GraphData& error = traces[i].error;
        PyObject* object =
            error.kind() == GraphData::Kind::PyObject ? handle_object(error.as_object()) : Py_None;
        PyList_SET_ITEM(errors.get(), static_cast<Py_ssize_t>(i), new_reference(object));
        error = GraphData::none();
    }
    auto state = std::make_unique<ReportState>(
        ReportState{&dag, std::move(traces), std::move(published), std::move(records)});
    PyRef self = PyRef::steal(g_report_type->tp_alloc(g_report_type, 0));
    if (!self) {
        return self;
    }
    RunReportObject* report = as_report(self.get());
    report->state = state.release();
    report->dag_object = new_reference(dag_object);
    report->context = context.release();
    report->errors = errors.release();
    report->made = made.release();
    return self;
}

} // namespace vantorix::python
